#pragma once

namespace Exiv2 {
class ExifData;
}

namespace controller {

// Sees the EXIF entries of every write of an ExifInfo just before the library
// writes them, and may change them: a test imitates a writer that drops tags.
class ExifWriteHook {
public:
    virtual ~ExifWriteHook() = default;
    virtual void beforeWrite(Exiv2::ExifData& data) = 0;
};

} // namespace controller
