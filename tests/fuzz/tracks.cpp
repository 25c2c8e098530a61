// Fuzz target: the track file readers, reached as an import reaches them
// (readTrack tells the format by the content of a file on disk), and the GPX
// text a phone uploads (readGpxText). Any bytes must be read or refused
// without a crash, and the count of points must be the points handed on.

#include "scratch.h"

#include "service/tracks/trackreader.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    int64_t handed = 0;
    const service::FixSink sink = [&handed](const service::Fix&) { return ++handed < 100000; };
    // A fixed clock, so an input reads the same way every time.
    const int64_t now = 1798761600000; // 2027-01-01
    service::TrackReading reading;
    std::string error;
    const std::string path = fuzz::scratchFile("track", data, size);
    service::readTrack(path, std::string(), now, sink, service::ReadProgress(), reading, &error);
    if (reading.points != handed)
        std::abort();

    handed = 0;
    const std::string text(reinterpret_cast<const char*>(data), size);
    service::readGpxText(text, "Europe/Berlin", now, sink, reading, &error);
    if (reading.points != handed)
        std::abort();
    return 0;
}
