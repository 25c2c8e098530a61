// Fuzz target: the zip reader of KMZ archives. Any bytes must unpack or be
// refused without a crash.

#include "scratch.h"

#include "service/tracks/kmzarchive.h"

#include <QByteArray>
#include <QIODevice>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray archive(reinterpret_cast<const char*>(data), static_cast<int>(size));
    const auto drain = [](QIODevice& document, int64_t) {
        char chunk[4096];
        while (document.read(chunk, sizeof chunk) > 0) {
        }
        return true;
    };
    std::string error;
    service::tracks::readKmlDocument(archive, drain, &error);
    return 0;
}
