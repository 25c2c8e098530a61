#include "service/tracks/reader.h"

#include "service/tracks/kmzarchive.h"

#include <QIODevice>

namespace service::tracks {

bool readKmz(const std::string& path, Collector& out, std::string* error)
{
    out.setFormat("KMZ");
    const int64_t archiveSize = out.total();
    const bool read = readKmlDocument(
        path,
        [&](QIODevice& document, int64_t size) {
            // Progress goes by the share of the document read.
            if (archiveSize > 0 && size > 0)
                out.setBytesPerFileByte(static_cast<double>(size) / static_cast<double>(archiveSize));
            return readXml(document, out, error);
        },
        error);
    out.setFormat("KMZ");
    out.finish();
    return read;
}

} // namespace service::tracks
