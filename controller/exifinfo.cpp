#include "controller/exifinfo.h"

namespace controller {

ExifInfo::ExifInfo(QObject* parent)
    : QObject(parent)
{
}

} // namespace controller
