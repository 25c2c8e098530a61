#include "controller/resultexport.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QXmlStreamWriter>

namespace controller {

namespace {

// One CSV field (RFC 4180): quoted when it holds a separator, a quote or a
// line break, quotes doubled.
QString csvField(const QString& text)
{
    if (!text.contains(QRegularExpression(QStringLiteral("[\",\r\n]"))))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString number(double value)
{
    QString text = QString::number(value, 'f', 7);
    while (text.endsWith(QLatin1Char('0')))
        text.chop(1);
    if (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    return text == QLatin1String("-0") ? QStringLiteral("0") : text;
}

// Where the position came from, when that is worth saying: the demo note,
// or how it was placed.
QString originText(const model::PhotoGeotag& photo)
{
    QStringList notes;
    if (photo.demo)
        notes << model::PhotoGeotag::demoNote();
    if (photo.placed())
        notes << model::PhotoGeotag::originNote(photo.origin);
    return notes.join(QStringLiteral("; "));
}

// The file could not be written: the system's reason; false.
bool unwritten(const QSaveFile& file, model::Failure* failure)
{
    model::fail(failure, QCoreApplication::translate("controller::ResultExport", "Cannot export the results"),
                file.errorString());
    return false;
}

bool commit(QSaveFile& file, const QByteArray& bytes, model::Failure* failure)
{
    if (file.write(bytes) == bytes.size() && file.flush() && file.commit())
        return true;
    unwritten(file, failure);
    file.cancelWriting();
    return false;
}

} // namespace

QString ResultExport::csvHeader()
{
    return QStringLiteral(
        "file,status,latitude,longitude,altitude,accuracy (m),time zone,corrected time,message,clock,"
        "city,sublocation,region,country,country code");
}

QString ResultExport::statusText(const model::PhotoGeotag& photo)
{
    if (photo.success)
        return QStringLiteral("OK");
    return photo.errorTitle == QLatin1String("Not processed (stopped)") ? photo.errorTitle : QStringLiteral("FAIL");
}

QString ResultExport::utcTime(const model::PhotoGeotag& photo)
{
    QDateTime time = QDateTime::fromString(photo.photoTime, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    const QRegularExpressionMatch zone
        = QRegularExpression(QStringLiteral("^([+-])(\\d\\d):(\\d\\d)$")).match(photo.timeZone);
    if (!time.isValid() || !zone.hasMatch())
        return QString();
    const int seconds = (zone.captured(2).toInt() * 60 + zone.captured(3).toInt()) * 60;
    time.setOffsetFromUtc(zone.captured(1) == QLatin1String("-") ? -seconds : seconds);
    return time.toUTC().toString(Qt::ISODate);
}

bool ResultExport::writeCsv(const model::PhotoGeotagList& photos, const QString& path, model::Failure* failure)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return unwritten(file, failure);
    QStringList lines { csvHeader() };
    for (const model::PhotoGeotag& photo : photos) {
        QStringList fields { photo.filePath, statusText(photo) };
        // A placed position has no altitude and no accuracy of its own.
        if (photo.success)
            fields << number(photo.latitude) << number(photo.longitude)
                   << (photo.placed() ? QString() : number(photo.altitude))
                   << (photo.placed() ? QString() : QString::number(photo.accuracy, 'f', 1)) << photo.timeZone
                   << photo.photoTime;
        else
            fields << QString() << QString() << QString() << QString() << QString() << QString();
        QString message = photo.errorTitle;
        if (!photo.errorText.isEmpty() && photo.errorText != photo.errorTitle)
            message += (message.isEmpty() ? QString() : QStringLiteral(": ")) + photo.errorText;
        const QString origin = photo.success ? originText(photo) : QString();
        if (!origin.isEmpty())
            message = message.isEmpty() ? origin : origin + QStringLiteral("; ") + message;
        // Where the photo's clock offset came from, also for a photo
        // without a position.
        fields << message << photo.clock.text;
        // The named place last, so that the columns before stay where
        // scripts look for them.
        const model::Place& place = photo.place;
        fields << place.city << place.sublocation << place.region << place.country << place.countryCode;
        for (QString& field : fields)
            field = csvField(field);
        lines.append(fields.join(QLatin1Char(',')));
    }
    return commit(file, (lines.join(QLatin1String("\r\n")) + QLatin1String("\r\n")).toUtf8(), failure);
}

bool ResultExport::writeGpx(const model::PhotoGeotagList& photos, const QString& path, model::Failure* failure)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return unwritten(file, failure);
    QByteArray bytes;
    QXmlStreamWriter xml(&bytes);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeStartElement(QStringLiteral("gpx"));
    xml.writeDefaultNamespace(QStringLiteral("http://www.topografix.com/GPX/1/1"));
    xml.writeAttribute(QStringLiteral("version"), QStringLiteral("1.1"));
    xml.writeAttribute(QStringLiteral("creator"), QStringLiteral("Kestrel"));
    for (const model::PhotoGeotag& photo : photos) {
        if (!photo.success)
            continue;
        xml.writeStartElement(QStringLiteral("wpt"));
        xml.writeAttribute(QStringLiteral("lat"), number(photo.latitude));
        xml.writeAttribute(QStringLiteral("lon"), number(photo.longitude));
        if (!photo.placed())
            xml.writeTextElement(QStringLiteral("ele"), number(photo.altitude));
        const QString time = utcTime(photo);
        if (!time.isEmpty())
            xml.writeTextElement(QStringLiteral("time"), time);
        xml.writeTextElement(QStringLiteral("name"), QFileInfo(photo.filePath).fileName());
        // The named place, then where the position came from.
        QStringList description { photo.place.text(), originText(photo) };
        description.removeAll(QString());
        if (!description.isEmpty())
            xml.writeTextElement(QStringLiteral("desc"), description.join(QStringLiteral("; ")));
        xml.writeEndElement();
    }
    xml.writeEndElement();
    xml.writeEndDocument();
    return commit(file, bytes, failure);
}

} // namespace controller
