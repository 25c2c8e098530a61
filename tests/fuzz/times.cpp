// Fuzz target: the time texts of track files, tracker apps, requests and the
// service's answers. The first line is the time, the second a zone (an IANA
// id or an offset such as "+02:00"). Every parser must refuse or accept
// without a crash; whatever the service's parsers accept must format, and
// read back to the same instant.

#include "controller/exiftags.h"
#include "controller/resultexport.h"
#include "service/timegeo.h"
#include "service/tracks/trackreader.h"
#include "service/trackers.h"

#include <cstdlib>

namespace {

void format(int64_t time, const std::string& zone)
{
    service::formatWallClock(time);
    service::formatIsoTime(time);
    service::durationText(time);
    service::zoneMoment(zone, time);
    service::zoneMoment("Europe/Berlin", time);
}

// Years 1000 to 9999, the ones the parsers read.
bool readable(int64_t time)
{
    return time >= -30610224000000LL && time <= 253402300799999LL;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t end = input.find('\n');
    const std::string text = input.substr(0, end);
    const std::string zone = end == std::string::npos ? std::string() : input.substr(end + 1);

    if (const auto time = service::parseWallClock(text)) {
        format(*time, zone);
        const int64_t second = *time - ((*time % 1000) + 1000) % 1000;
        if (service::parseWallClock(service::formatWallClock(*time)) != second)
            std::abort();
    }
    if (const auto time = service::parseIsoTime(text)) {
        format(*time, zone);
        if (readable(*time) && service::parseIsoTime(service::formatIsoTime(*time)) != *time)
            std::abort();
    }
    for (const auto& time : { service::parseTrackTime(text), service::parseTrackerTime(text) })
        if (time)
            format(*time, zone);

    // The desktop reads the photo's time and zone of the service's answer.
    model::PhotoGeotag geotag;
    geotag.photoTime = QString::fromUtf8(text.data(), int(text.size()));
    geotag.timeZone = QString::fromUtf8(zone.data(), int(zone.size()));
    controller::ResultExport::utcTime(geotag);
    controller::exiftags::exifTime(geotag.photoTime);
    controller::exiftags::Answer answer;
    if (controller::exiftags::answerOf(geotag, &answer)) {
        std::vector<std::string> keys;
        Exiv2::XmpData xmp;
        controller::exiftags::setXmp(xmp, true, geotag, answer, &keys);
    }
    return 0;
}
