#pragma once

#include <cstdint>
#include <functional>
#include <string>

class QByteArray;
class QIODevice;

namespace service::tracks {

// Reads the document as it is unpacked; `size` is its unpacked size. False
// when the reading failed (its reason is then the reader's own).
using KmlDocumentReader = std::function<bool(QIODevice& document, int64_t size)>;

// Reads the KML document of a KMZ (zip) archive: "doc.kml", else the first
// entry whose name ends in ".kml". The document is unpacked once to check its
// size and checksum, then again while `read` reads it; nothing of it is held
// in memory or on disk. False, with the reason, when the archive is damaged or
// holds no such document, or when `read` returns false.
bool readKmlDocument(const std::string& path, const KmlDocumentReader& read, std::string* error = nullptr);
// The same for an archive in memory.
bool readKmlDocument(const QByteArray& archive, const KmlDocumentReader& read, std::string* error = nullptr);

} // namespace service::tracks
