#include "service/tracks/reader.h"

#include "service/tracks/zip.h"

#include <QFile>
#include <QTemporaryFile>

namespace service::tracks {

bool readKmz(QFile& zip, Collector& out, std::string* error)
{
    QTemporaryFile document;
    if (!document.open())
        return fail(error, "The KMZ archive could not be unpacked (no temporary file).");
    out.setFormat("KMZ");
    if (!unpackKmlDocument(zip, document, error))
        return false;
    document.seek(0);
    const bool read = readXml(document, out, error);
    out.setFormat("KMZ");
    out.finish();
    return read;
}

} // namespace service::tracks
