#include "controller/exifinfo.h"

namespace controller {

ExifInfo::ExifInfo(QObject* parent)
    : QObject(parent)
{
}

bool ExifInfo::read(QString, model::PhotoInfo*)
{
    error = QStringLiteral("not implemented");
    return false;
}

bool ExifInfo::write(QString, bool, model::PhotoGeocode*)
{
    error = QStringLiteral("not implemented");
    return false;
}

bool ExifInfo::writeCopy(QString, QString, bool, model::PhotoGeocode*)
{
    error = QStringLiteral("not implemented");
    return false;
}

QString ExifInfo::errorString() const
{
    return error;
}

} // namespace controller
