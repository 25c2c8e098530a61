#include "service/tracks/reader.h"

#include <QFile>

#include <cctype>
#include <fstream>

namespace service {

bool readTrack(const std::string& path, const std::string& zoneId, int64_t now, const FixSink& sink,
               const ReadProgress& progress, TrackReading& reading, std::string* error)
{
    using namespace tracks;
    reading = TrackReading();
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        return fail(error, "The file cannot be read.");
    Collector out(reading, zoneId, now, sink, progress, file.size());
    // The format by the first bytes that are not a byte order mark or blank.
    const QByteArray head = file.peek(4096);
    int first = 0;
    if (head.startsWith("\xEF\xBB\xBF"))
        first = 3;
    while (first < head.size() && std::isspace(static_cast<unsigned char>(head[first])))
        ++first;
    if (first >= head.size())
        return fail(error, "The file is empty.");
    const char lead = head[first];
    if (head.startsWith("PK\x03\x04")) {
        file.close();
        return readKmz(path, out, error);
    }
    bool read = false;
    if (lead == '<') {
        read = readXml(file, out, error);
    } else if (lead == '{' || lead == '[') {
        file.close();
        std::ifstream in(path, std::ios::binary);
        read = readJson(in, out, error);
    } else {
        file.close();
        std::FILE* lines = std::fopen(path.c_str(), "rb");
        if (!lines)
            return fail(error, "The file cannot be read.");
        read = lead == '$' ? readNmea(lines, out, error) : readCsv(lines, out, error);
        std::fclose(lines);
    }
    out.finish();
    return read;
}

} // namespace service
