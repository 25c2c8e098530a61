#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <exiv2/exiv2.hpp>

#include "model/model.h"

namespace controller {
// The entries a geotag answer writes into EXIF and XMP data, and the
// read-back that checks them after a write.
namespace exiftags {

// The answer's values in the forms both writers need.
struct Answer {
    uint32_t latitude = 0; // millionths of a degree, absolute
    uint32_t longitude = 0;
    uint32_t altitude = 0; // centimetres, absolute
    uint32_t accuracy = 0; // millimetres, absolute
    QDateTime utc;         // the moment of the position; invalid when unknown
};

// The values of result in those forms; false when one does not fit an EXIF
// rational.
bool answerOf(const model::PhotoGeotag& result, Answer* answer);
// The corrected time in the EXIF form: "-" made ":", at most 19 characters.
QString exifTime(const QString& photoTime);

// Sets the GPS entries of the answer in data and, with correctDateTime, the
// corrected date, time and time zone; keys gets each key set, in order. A
// position placed by hand or on the track has no accuracy, and by hand no
// altitude and no GPS time: entries an earlier write left for those are
// taken out, and removed (when given) gets their keys.
void setTags(Exiv2::ExifData& data, bool correctDateTime, const model::PhotoGeotag& result, const Answer& answer,
             std::vector<std::string>* keys, std::vector<std::string>* removed = nullptr);
// The same in XMP properties, for a sidecar.
void setXmp(Exiv2::XmpData& data, bool correctDateTime, const model::PhotoGeotag& result, const Answer& answer,
            std::vector<std::string>* keys, std::vector<std::string>* removed = nullptr);

// What a written file must show when read back: the value texts of the
// entries written, every key the photo had before but those removed, and
// none of those.
struct Expectation {
    std::vector<std::pair<std::string, std::string>> written;
    std::set<std::string> kept;
    std::vector<std::string> removed;

    void keep(const Exiv2::Image& image);
    void remove(const std::vector<std::string>& keys);
};

enum class ReadBack { Good, TagsMissing, OthersLost, RemovedLeft };

// Reads the metadata of a written file (never its image data) and holds it
// against what was written: from the file at path, or, where the metadata
// lies in the first `head` bytes, from those bytes read through fd.
ReadBack readBack(const QByteArray& path, int fd, size_t head, const Expectation& expected);

} // namespace exiftags
} // namespace controller
