#include "service/tracks/kmzarchive.h"

#include "service/text.h"
#include "service/tracks/reader.h"

#include <QByteArray>
#include <QFile>

#include <zip.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <vector>

namespace service::tracks {

namespace {

// The document is unpacked to at most this many bytes.
constexpr int64_t maxUnpackedBytes = 1024LL * 1024 * 1024;
// An archive's directory is read whole; a KMZ holds a document and its images.
constexpr uint64_t maxEntries = 65535;
constexpr uint64_t maxDirectoryBytes = 16 * 1024 * 1024;

struct ArchiveCloser {
    void operator()(zip_t* zip) const { zip_discard(zip); }
};
using Archive = std::unique_ptr<zip_t, ArchiveCloser>;
struct EntryCloser {
    void operator()(zip_file_t* file) const { zip_fclose(file); }
};
using Entry = std::unique_ptr<zip_file_t, EntryCloser>;

// The entry's unpacked bytes, as they are unpacked.
class EntryDevice : public QIODevice {
public:
    explicit EntryDevice(zip_file_t* entry) : entry_(entry) { open(QIODevice::ReadOnly | QIODevice::Unbuffered); }
    bool isSequential() const override { return true; }
    bool atEnd() const override { return done_; }

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        const zip_int64_t got = done_ ? 0 : zip_fread(entry_, data, static_cast<zip_uint64_t>(maxSize));
        done_ = got <= 0;
        return got < 0 ? -1 : got;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    zip_file_t* entry_;
    bool done_ = false;
};

// The archive's bytes at an offset.
using ReadAt = std::function<QByteArray(int64_t offset, int64_t length)>;

uint64_t littleEndian(const char* bytes, int length)
{
    uint64_t value = 0;
    for (int i = length - 1; i >= 0; --i)
        value = value << 8 | static_cast<unsigned char>(bytes[i]);
    return value;
}

// libzip reads the directory an end record names whole, for every end record
// it finds in the archive's last 64 KB: their sizes are checked first.
bool checkDirectories(int64_t archiveSize, const ReadAt& read, std::string* error)
{
    const int64_t tailSize = std::min<int64_t>(archiveSize, 22 + 65535);
    const QByteArray tail = read(archiveSize - tailSize, tailSize);
    const char* const signature = "PK\x05\x06";
    for (int at = tail.indexOf(signature); at >= 0 && at + 22 <= tail.size(); at = tail.indexOf(signature, at + 1)) {
        const char* end = tail.constData() + at;
        uint64_t entries = littleEndian(end + 10, 2), size = littleEndian(end + 12, 4);
        // A zip64 locator before it names the zip64 end record, which holds the counts.
        if (at >= 20 && littleEndian(end - 20, 4) == 0x07064b50) {
            const QByteArray record = read(static_cast<int64_t>(littleEndian(end - 12, 8)), 56);
            if (record.size() == 56 && littleEndian(record.constData(), 4) == 0x06064b50) {
                entries = littleEndian(record.constData() + 32, 8);
                size = littleEndian(record.constData() + 40, 8);
            }
        }
        if (entries > maxEntries)
            return fail(error, "This KMZ archive holds more than 65,535 files.");
        if (size > maxDirectoryBytes)
            return fail(error, "The directory of this KMZ archive is larger than 16 MB.");
    }
    return true;
}

bool openFailed(int code, std::string* error)
{
    if (code == ZIP_ER_NOZIP || code == ZIP_ER_EOF)
        return fail(error, "This KMZ file is not a complete zip archive.");
    if (code == ZIP_ER_INCONS || code == ZIP_ER_MULTIDISK)
        return fail(error, "The directory of this KMZ archive is damaged.");
    if (code == ZIP_ER_OPEN || code == ZIP_ER_READ || code == ZIP_ER_SEEK)
        return fail(error, "The file cannot be read.");
    return fail(error, "The KMZ archive could not be unpacked.");
}

// The entry to read: doc.kml, else the first ".kml".
bool chooseEntry(zip_t* zip, zip_uint64_t& chosen, std::string* error)
{
    const zip_int64_t entries = zip_get_num_entries(zip, 0);
    bool found = false, foundDoc = false;
    for (zip_int64_t i = 0; i < entries && !foundDoc; ++i) {
        const char* name = zip_get_name(zip, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW);
        std::string lower = name ? name : "";
        for (char& c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const bool isDoc = lower == "doc.kml";
        if ((lower.size() > 4 && endsWith(lower, ".kml") && !found) || isDoc) {
            chosen = static_cast<zip_uint64_t>(i);
            found = true;
            foundDoc = isDoc;
        }
    }
    if (!found)
        return fail(error, "This KMZ archive holds no KML document.");
    zip_stat_t stat;
    if (zip_stat_index(zip, chosen, 0, &stat) != 0)
        return fail(error, "The directory of this KMZ archive is damaged.");
    if ((stat.valid & ZIP_STAT_COMP_METHOD) == 0 || (stat.comp_method != ZIP_CM_STORE && stat.comp_method != ZIP_CM_DEFLATE)
        || ((stat.valid & ZIP_STAT_ENCRYPTION_METHOD) != 0 && stat.encryption_method != ZIP_EM_NONE))
        return fail(error, "The KML document in this KMZ archive is packed in a way Kestrel cannot unpack.");
    if ((stat.valid & ZIP_STAT_SIZE) != 0 && stat.size > static_cast<zip_uint64_t>(maxUnpackedBytes))
        return fail(error, "The KML document in this KMZ archive is too large.");
    return true;
}

bool entryFailed(int code, std::string* error)
{
    if (code == ZIP_ER_CRC)
        return fail(error, "The KML document in this KMZ archive is damaged: its checksum does not match its content.");
    if (code == ZIP_ER_EOF || code == ZIP_ER_READ)
        return fail(error, "The KML document in this KMZ archive is cut short.");
    return fail(error, "The KML document in this KMZ archive is damaged.");
}

// Unpacks the whole entry once: its size and checksum; its size in `size`.
bool checkEntry(zip_t* zip, zip_uint64_t index, int64_t& size, std::string* error)
{
    const Entry entry(zip_fopen_index(zip, index, 0));
    if (!entry)
        return entryFailed(zip_error_code_zip(zip_get_error(zip)), error);
    std::vector<char> buffer(256 * 1024);
    size = 0;
    zip_int64_t got = 0;
    while ((got = zip_fread(entry.get(), buffer.data(), buffer.size())) > 0) {
        size += got;
        if (size > maxUnpackedBytes)
            return fail(error, "The KML document in this KMZ archive is too large.");
    }
    return got == 0 || entryFailed(zip_error_code_zip(zip_file_get_error(entry.get())), error);
}

bool readArchive(zip_source_t* source, const KmlDocumentReader& read, std::string* error)
{
    zip_error_t opening;
    zip_error_init(&opening);
    const Archive zip(zip_open_from_source(source, ZIP_RDONLY, &opening));
    const int code = zip_error_code_zip(&opening);
    zip_error_fini(&opening);
    if (!zip) {
        zip_source_free(source);
        return openFailed(code, error);
    }
    zip_uint64_t index = 0;
    int64_t size = 0;
    if (!chooseEntry(zip.get(), index, error) || !checkEntry(zip.get(), index, size, error))
        return false;
    const Entry entry(zip_fopen_index(zip.get(), index, 0));
    if (!entry)
        return entryFailed(zip_error_code_zip(zip_get_error(zip.get())), error);
    EntryDevice document(entry.get());
    return read(document, size);
}

} // namespace

bool readKmlDocument(const std::string& path, const KmlDocumentReader& read, std::string* error)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        return fail(error, "The file cannot be read.");
    const ReadAt readAt = [&file](int64_t offset, int64_t length) {
        return offset >= 0 && file.seek(offset) ? file.read(length) : QByteArray();
    };
    if (!checkDirectories(file.size(), readAt, error))
        return false;
    file.close();
    zip_error_t creating;
    zip_error_init(&creating);
    zip_source_t* source = zip_source_file_create(path.c_str(), 0, -1, &creating);
    zip_error_fini(&creating);
    if (!source)
        return fail(error, "The file cannot be read.");
    return readArchive(source, read, error);
}

bool readKmlDocument(const QByteArray& archive, const KmlDocumentReader& read, std::string* error)
{
    const ReadAt readAt = [&archive](int64_t offset, int64_t length) {
        return offset >= 0 && offset <= archive.size() ? archive.mid(static_cast<int>(offset), static_cast<int>(length))
                                                       : QByteArray();
    };
    if (!checkDirectories(archive.size(), readAt, error))
        return false;
    zip_error_t creating;
    zip_error_init(&creating);
    zip_source_t* source = zip_source_buffer_create(archive.constData(), static_cast<zip_uint64_t>(archive.size()), 0,
                                                    &creating);
    zip_error_fini(&creating);
    if (!source)
        return fail(error, "The KMZ archive could not be unpacked.");
    return readArchive(source, read, error);
}

} // namespace service::tracks
