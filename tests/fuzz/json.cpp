// Fuzz target: the desktop's JSON codec and its reading of the service's
// answers. Any bytes must parse without a crash or a leak, whatever parses
// must survive being written and read back, and an answer read as a camera
// list or a geotag must give entries that can be written into a photo's EXIF
// and XMP data.

#include "controller/exiftags.h"
#include "controller/servicemessages.h"
#include "json/jsonvalue.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const JsonValue value = JsonValue::parse(text);
    if (value.isNull())
        return 0;
    // Written text is JSON again, and reads back to the same text.
    const std::string written = value.serialize();
    const JsonValue again = JsonValue::parse(written);
    if (again.serialize() != written)
        std::abort();

    model::CameraList cameras;
    controller::ServiceMessages::readCameraList(value, &cameras);
    model::PhotoGeotag geotag;
    controller::ServiceMessages::readGeotag(value, &geotag);
    controller::exiftags::Answer answer;
    if (!controller::exiftags::answerOf(geotag, &answer))
        return 0;
    std::vector<std::string> keys;
    Exiv2::ExifData exif;
    controller::exiftags::setTags(exif, true, geotag, answer, &keys);
    Exiv2::XmpData xmp;
    controller::exiftags::setXmp(xmp, true, geotag, answer, &keys);
    return 0;
}
