#pragma once

// What the readers of the single formats share: each reads the points of its
// source into a Collector, and returns false with the reason when the source
// is not of its format or breaks off.

#include "service/tracks/trackreader.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <istream>
#include <string>

class QString;
class QIODevice;
class QXmlStreamReader;

namespace service::tracks {

// A file is refused when one of its texts, tags, lines, JSON strings or
// numbers is longer than this: readers hold each whole in memory, and no
// track file needs more.
constexpr size_t maxTokenBytes = 64 * 1024;
// Real files nest XML elements and JSON values fewer than ten deep.
constexpr int64_t maxXmlDepth = 256;
constexpr int64_t maxJsonDepth = 64;

// Hands points on, counts the ones left out and remembers where the first was.
class Collector {
public:
    // `now` is the service's clock, for the window of a fix's time.
    Collector(TrackReading& reading, const std::string& zoneId, int64_t now, const FixSink& sink,
              const ReadProgress& progress, int64_t total);

    const std::string& format() const { return reading_.format; }
    // The size of the file.
    int64_t total() const { return total_; }
    void setFormat(const std::string& format) { reading_.format = format; }
    // Names the format unless one was named before.
    void noteFormat(const std::string& format);

    void skip(const std::string& why, const std::string& where);
    // Gives the point its zone, leaves it out when it is not acceptable and
    // else hands it on. False once the sink wants no more.
    bool add(Fix fix, const std::string& where);
    // Hands on a point that has its zone and was checked.
    bool hand(const Fix& fix);

    void progress(int64_t done);
    // Progress is told of bytes of something larger than the file (an
    // unpacked document): these many of them make one byte of the file.
    void setBytesPerFileByte(double ratio) { bytesPerFileByte_ = ratio; }
    void finish();
    bool stopped() const { return stopped_; }
    int64_t now() const { return now_; }

private:
    TrackReading& reading_;
    const std::string& zoneId_;
    int64_t now_;
    const FixSink& sink_;
    const ReadProgress& progress_;
    int64_t total_;
    int64_t reported_ = 0;
    double bytesPerFileByte_ = 1;
    bool stopped_ = false;
};

// "line 12".
std::string lineText(int64_t line);
// Gives `why` to `error` when there is one; false.
bool fail(std::string* error, const std::string& why);

// GPX or KML, by the root element, read through an XmlGuard.
bool readXml(QIODevice& device, Collector& out, std::string* error);
// The text of the element just started, as QXmlStreamReader::readElementText
// gives it with SkipChildElements; longer than maxTokenBytes, the reading
// ends with that as its error (see xmlFinished).
QString elementText(QXmlStreamReader& xml);
// The rest of a document whose root element was read.
bool readGpx(QXmlStreamReader& xml, Collector& out, std::string* error);
bool readKml(QXmlStreamReader& xml, Collector& out, std::string* error);
// Tells the bytes of the document read so far.
void xmlProgress(const QXmlStreamReader& xml, Collector& out);
// At the end of a document: false, with where and why, when it breaks off or
// was refused.
bool xmlFinished(const QXmlStreamReader& xml, const Collector& out, std::string* error);

// The KML document of the KMZ archive at `path`. The progress ends once the
// document was read, also when it breaks off.
bool readKmz(const std::string& path, Collector& out, std::string* error);
// GeoJSON or Google's location history.
bool readJson(std::istream& in, Collector& out, std::string* error);
bool readNmea(std::FILE* file, Collector& out, std::string* error);
bool readCsv(std::FILE* file, Collector& out, std::string* error);

} // namespace service::tracks
