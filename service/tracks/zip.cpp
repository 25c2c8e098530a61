#include "service/tracks/zip.h"

#include "service/text.h"
#include "service/tracks/reader.h"

#include <QFile>

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

namespace service::tracks {

namespace {

// The document is unpacked to at most this many bytes.
constexpr int64_t maxUnpackedBytes = 1024LL * 1024 * 1024;

uint32_t le32(const unsigned char* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint16_t le16(const unsigned char* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

// Where the chosen entry's packed bytes are and how they are packed.
struct Entry {
    int64_t offset = -1;
    int64_t compressed = 0;
    uint16_t method = 0;
    bool isDoc = false;
};

// The archive's directory, found from its end record.
bool readDirectory(QFile& zip, QByteArray& directory, uint16_t& entries, std::string* error)
{
    const int64_t size = zip.size();
    const int64_t tail = std::min<int64_t>(size, 65557);
    zip.seek(size - tail);
    const QByteArray end = zip.read(tail);
    int eocd = -1;
    for (int i = end.size() - 22; i >= 0; --i)
        if (le32(reinterpret_cast<const unsigned char*>(end.constData()) + i) == 0x06054b50) {
            eocd = i;
            break;
        }
    if (eocd < 0)
        return fail(error, "This KMZ file is not a complete zip archive.");
    const auto* e = reinterpret_cast<const unsigned char*>(end.constData()) + eocd;
    entries = le16(e + 10);
    const uint32_t directorySize = le32(e + 12), directoryOffset = le32(e + 16);
    if (int64_t(directoryOffset) + directorySize > size || directorySize > 64 * 1024 * 1024)
        return fail(error, "The directory of this KMZ archive is damaged.");
    zip.seek(directoryOffset);
    directory = zip.read(directorySize);
    return true;
}

// The entry to unpack: doc.kml, else the first ".kml".
bool chooseEntry(QFile& zip, Entry& chosen, std::string* error)
{
    QByteArray directory;
    uint16_t entries = 0;
    if (!readDirectory(zip, directory, entries, error))
        return false;
    const auto* d = reinterpret_cast<const unsigned char*>(directory.constData());
    size_t at = 0;
    for (int i = 0; i < entries && at + 46 <= static_cast<size_t>(directory.size()); ++i) {
        if (le32(d + at) != 0x02014b50)
            return fail(error, "The directory of this KMZ archive is damaged.");
        const uint16_t nameLength = le16(d + at + 28), extraLength = le16(d + at + 30), commentLength = le16(d + at + 32);
        if (at + 46 + nameLength > static_cast<size_t>(directory.size()))
            break;
        std::string lower(reinterpret_cast<const char*>(d + at + 46), nameLength);
        for (char& c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const bool isKml = lower.size() > 4 && endsWith(lower, ".kml");
        const bool isDoc = lower == "doc.kml";
        if (isKml && (chosen.offset < 0 || (isDoc && !chosen.isDoc))) {
            chosen.offset = le32(d + at + 42);
            chosen.compressed = le32(d + at + 20);
            chosen.method = le16(d + at + 10);
            chosen.isDoc = isDoc;
        }
        at += 46 + nameLength + extraLength + commentLength;
    }
    if (chosen.offset < 0)
        return fail(error, "This KMZ archive holds no KML document.");
    if (chosen.method != 0 && chosen.method != 8)
        return fail(error, "The KML document in this KMZ archive is packed in a way Kestrel cannot unpack.");
    return true;
}

// Puts the zip file at the entry's packed bytes.
bool seekEntry(QFile& zip, const Entry& entry, std::string* error)
{
    unsigned char local[30];
    zip.seek(entry.offset);
    if (zip.read(reinterpret_cast<char*>(local), 30) != 30 || le32(local) != 0x04034b50)
        return fail(error, "The KML document in this KMZ archive is damaged.");
    zip.seek(entry.offset + 30 + le16(local + 26) + le16(local + 28));
    if (entry.offset + 30 + entry.compressed > zip.size())
        return fail(error, "The KML document in this KMZ archive is cut short.");
    return true;
}

// Inflates or copies the entry's bytes into `target`.
bool unpackEntry(QFile& zip, const Entry& entry, QIODevice& target, z_stream& stream, std::string* error)
{
    std::vector<char> input(256 * 1024), output(256 * 1024);
    int64_t left = entry.compressed, written = 0;
    int state = Z_OK;
    while (left > 0 && state != Z_STREAM_END) {
        const qint64 got = zip.read(input.data(), std::min<int64_t>(left, static_cast<int64_t>(input.size())));
        if (got <= 0)
            return fail(error, "The KML document in this KMZ archive is cut short.");
        left -= got;
        if (entry.method == 0) {
            written += got;
            if (target.write(input.data(), got) != got)
                return fail(error, "The KMZ archive could not be unpacked (no room for its document).");
            continue;
        }
        stream.next_in = reinterpret_cast<Bytef*>(input.data());
        stream.avail_in = static_cast<uInt>(got);
        do {
            stream.next_out = reinterpret_cast<Bytef*>(output.data());
            stream.avail_out = static_cast<uInt>(output.size());
            state = inflate(&stream, Z_NO_FLUSH);
            if (state != Z_OK && state != Z_STREAM_END && state != Z_BUF_ERROR)
                return fail(error, "The KML document in this KMZ archive is damaged.");
            const qint64 produced = static_cast<qint64>(output.size() - stream.avail_out);
            written += produced;
            if (written > maxUnpackedBytes)
                return fail(error, "The KML document in this KMZ archive is too large.");
            if (target.write(output.data(), produced) != produced)
                return fail(error, "The KMZ archive could not be unpacked (no room for its document).");
        } while (stream.avail_out == 0 && state != Z_STREAM_END);
    }
    if (entry.method == 8 && state != Z_STREAM_END)
        return fail(error, "The KML document in this KMZ archive is cut short.");
    return true;
}

} // namespace

bool unpackKmlDocument(QFile& zip, QIODevice& target, std::string* error)
{
    Entry entry;
    if (!chooseEntry(zip, entry, error) || !seekEntry(zip, entry, error))
        return false;
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK)
        return fail(error, "The KMZ archive could not be unpacked.");
    const bool unpacked = unpackEntry(zip, entry, target, stream, error);
    inflateEnd(&stream);
    return unpacked;
}

} // namespace service::tracks
