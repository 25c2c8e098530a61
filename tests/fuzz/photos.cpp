// Fuzz target: reading a photo's camera identity and capture time, as a
// dropped photo is read (ExifInfo::read on a file). Any bytes must be read or
// refused without a crash; the exiv2 library tells the format by the content.
// The first byte picks the file's name: an ordinary photo or a camera raw,
// which the reader treats apart.

#include "scratch.h"

#include "controller/exifinfo.h"

#include <exiv2/exiv2.hpp>

#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    [[maybe_unused]] static const bool quiet = (Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute), true);
    if (size == 0)
        return 0;
    const char* names[] = { "photo.jpg", "photo.cr2", "photo.heic" };
    const std::string path = fuzz::scratchFile(names[data[0] % 3], data + 1, size - 1);
    controller::ExifInfo reader;
    model::PhotoInfo info;
    model::Failure failure;
    reader.read(QString::fromStdString(path), &info, &failure);
    std::remove(path.c_str());
    return 0;
}
