// Fuzz target: the zip reader of KMZ archives. Any bytes must unpack or be
// refused without a crash.

#include "scratch.h"

#include "service/tracks/zip.h"

#include <QBuffer>
#include <QFile>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QFile zip(QString::fromStdString(fuzz::scratchFile("track.kmz", data, size)));
    if (!zip.open(QIODevice::ReadOnly))
        return 0;
    QBuffer document;
    document.open(QIODevice::WriteOnly);
    std::string error;
    service::tracks::unpackKmlDocument(zip, document, &error);
    return 0;
}
