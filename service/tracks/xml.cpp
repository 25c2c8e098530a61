#include "service/tracks/reader.h"

#include "service/tracks/xmlguard.h"

#include <QXmlStreamReader>

namespace service::tracks {

void xmlProgress(const QXmlStreamReader& xml, Collector& out)
{
    if (const auto* guard = dynamic_cast<const XmlGuard*>(xml.device()))
        out.progress(guard->offset());
}

bool xmlFinished(const QXmlStreamReader& xml, const Collector& out, std::string* error)
{
    if (const auto* guard = dynamic_cast<const XmlGuard*>(xml.device()); guard && !guard->refusal().empty())
        return fail(error, guard->refusal());
    if (!xml.hasError() || out.stopped())
        return true;
    if (xml.error() == QXmlStreamReader::CustomError)
        return fail(error, xml.errorString().toStdString());
    std::string why = xml.errorString().toStdString();
    while (!why.empty() && why.back() == '.')
        why.pop_back();
    return fail(error, "The file breaks off at line " + std::to_string(xml.lineNumber()) + ": " + why + ".");
}

QString elementText(QXmlStreamReader& xml)
{
    const int64_t line = xml.lineNumber();
    QString text;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isCharacters() || xml.isEntityReference()) {
            text += xml.text();
            if (static_cast<size_t>(text.size()) > maxTokenBytes) {
                xml.raiseError(QString::fromStdString("The file holds a text longer than "
                                                      + std::to_string(maxTokenBytes / 1024) + " KB at "
                                                      + lineText(line) + "."));
                return QString();
            }
        } else if (xml.isStartElement()) {
            xml.skipCurrentElement();
        } else if (xml.isEndElement()) {
            break;
        }
    }
    return text;
}

bool readXml(QIODevice& device, Collector& out, std::string* error)
{
    XmlGuard guard(device);
    QXmlStreamReader xml(&guard);
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
