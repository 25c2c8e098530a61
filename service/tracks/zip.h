#pragma once

#include <string>

class QFile;
class QIODevice;

namespace service::tracks {

// Unpacks the KML document of a KMZ (zip) archive into `target`: "doc.kml",
// else the first entry whose name ends in ".kml". False, with the reason,
// when the archive is damaged or holds no such document.
bool unpackKmlDocument(QFile& zip, QIODevice& target, std::string* error = nullptr);

} // namespace service::tracks
