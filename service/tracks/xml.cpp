#include "service/tracks/reader.h"

#include <QXmlStreamReader>

namespace service::tracks {

void xmlProgress(const QXmlStreamReader& xml, Collector& out)
{
    if (const QIODevice* device = xml.device())
        out.progress(device->pos());
}

bool xmlFinished(const QXmlStreamReader& xml, const Collector& out, std::string* error)
{
    if (!xml.hasError() || out.stopped())
        return true;
    std::string why = xml.errorString().toStdString();
    while (!why.empty() && why.back() == '.')
        why.pop_back();
    return fail(error, "The file breaks off at line " + std::to_string(xml.lineNumber()) + ": " + why + ".");
}

bool readXml(QIODevice& device, Collector& out, std::string* error)
{
    QXmlStreamReader xml(&device);
    while (!xml.atEnd() && !out.stopped()) {
        xml.readNext();
        xmlProgress(xml, out);
        if (!xml.isStartElement())
            continue;
        const QString name = xml.name().toString();
        if (name == QLatin1String("gpx")) {
            out.setFormat("GPX");
            return readGpx(xml, out, error);
        }
        if (name == QLatin1String("kml")) {
            out.noteFormat("KML");
            return readKml(xml, out, error);
        }
        return fail(error, "This XML file is neither GPX nor KML (its root element is <" + name.toStdString() + ">).");
    }
    if (!xmlFinished(xml, out, error))
        return false;
    return fail(error, "The file holds no XML element.");
}

} // namespace service::tracks
