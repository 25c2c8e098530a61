#include "controller/placetags.h"

#include <QByteArray>
#include <QCryptographicHash>

#include <algorithm>
#include <cstring>
#include <iterator>

#include <exiv2/exiv2.hpp>

#include "countrycodes.h"

namespace controller {
namespace placetags {

namespace {

const char iptcCharset[] = "Iptc.Envelope.CharacterSet";
// ISO 2022's escape sequence for UTF-8.
const char utf8Marker[] = "\x1b%G";

// The place entries in the order the fields of a place come.
struct Keys {
    const char* iptc;
    const char* xmp;
};
const Keys cityKeys { "Iptc.Application2.City", "Xmp.photoshop.City" };
const Keys regionKeys { "Iptc.Application2.ProvinceState", "Xmp.photoshop.State" };
const Keys countryKeys { "Iptc.Application2.CountryName", "Xmp.photoshop.Country" };
const Keys codeKeys { "Iptc.Application2.CountryCode", "Xmp.iptc.CountryCode" };
const Keys sublocationKeys { "Iptc.Application2.SubLocation", "Xmp.iptc.Location" };
const Keys allKeys[] = { cityKeys, regionKeys, countryKeys, codeKeys, sublocationKeys };

// The most bytes IIM allows in a dataset of the Application record.
size_t iptcLimit(const Exiv2::IptcKey& key)
{
    // The library's list ends with the number 0xffff.
    for (const Exiv2::DataSet* set = Exiv2::IptcDataSets::application2RecordList(); set->number_ != 0xffff; ++set)
        if (set->number_ == key.tag())
            return set->maxbytes_;
    return 0;
}

// text in UTF-8, cut to at most limit bytes at a character's start.
std::string cut(const QString& text, size_t limit)
{
    QByteArray bytes = text.toUtf8();
    if (size_t(bytes.size()) > limit) {
        int end = int(limit);
        // Continuation bytes are 10xxxxxx.
        while (end > 0 && (uchar(bytes.at(end)) & 0xC0) == 0x80)
            --end;
        bytes.truncate(end);
    }
    return bytes.toStdString();
}

template <typename Data, typename Key>
void erase(Data& data, const Key& key)
{
    for (auto found = data.findKey(key); found != data.end(); found = data.findKey(key))
        data.erase(found);
}

// IPTC texts other than ASCII and UTF-8 would be read wrongly once the data
// are marked as UTF-8.
bool takesUtf8(const Exiv2::IptcData& iptc)
{
    const auto marker = iptc.findKey(Exiv2::IptcKey(iptcCharset));
    if (marker != iptc.end() && marker->toString() != utf8Marker)
        return false;
    return iptc.detectCharset() != nullptr;
}

// The IPTC data and Photoshop's digest of them in the resources of a JPEG's
// APP13 segment; null when the segment holds no digest.
struct Resources {
    const Exiv2::byte* iptc = nullptr;
    uint32_t iptcSize = 0;
    Exiv2::byte* digest = nullptr;
};

Resources resourcesOf(Exiv2::byte* data, size_t size)
{
    static const char signature[] = "Photoshop 3.0"; // and its terminating zero
    const uint16_t digestId = 0x0425;
    const size_t digestSize = 16;
    // The segments before the start of scan, each a marker and its length.
    for (size_t at = 2; at + 4 <= size && data[at] == 0xFF && data[at + 1] != 0xDA;) {
        const Exiv2::byte marker = data[at + 1];
        const size_t length = size_t(data[at + 2]) << 8 | data[at + 3];
        if (length < 2 || at + 2 + length > size)
            break;
        Exiv2::byte* payload = data + at + 4;
        const size_t payloadSize = length - 2;
        at += 2 + length;
        if (marker != 0xED || payloadSize < sizeof signature || std::memcmp(payload, signature, sizeof signature) != 0)
            continue;
        const Exiv2::byte* resources = payload + sizeof signature;
        const long resourcesSize = long(payloadSize - sizeof signature);
        const Exiv2::byte* record = nullptr;
        uint32_t header = 0;
        uint32_t bytes = 0;
        Resources found;
        if (Exiv2::Photoshop::locateIrb(resources, resourcesSize, digestId, &record, &header, &bytes) != 0
            || bytes != digestSize)
            continue;
        found.digest = const_cast<Exiv2::byte*>(record) + header;
        if (Exiv2::Photoshop::locateIptcIrb(resources, resourcesSize, &record, &header, &bytes) == 0) {
            found.iptc = record + header;
            found.iptcSize = bytes;
        }
        return found;
    }
    return Resources();
}

QByteArray md5(const Exiv2::byte* data, uint32_t size)
{
    return QCryptographicHash::hash(QByteArray::fromRawData(reinterpret_cast<const char*>(data), int(size)),
                                    QCryptographicHash::Md5);
}

} // namespace

void refreshIptcDigest(const unsigned char* before, size_t beforeSize, unsigned char* after, size_t afterSize)
{
    // Only read in before.
    const Resources old = resourcesOf(const_cast<Exiv2::byte*>(before), beforeSize);
    const Resources now = resourcesOf(after, afterSize);
    if (!old.digest || !now.digest
        || md5(old.iptc, old.iptcSize) != QByteArray(reinterpret_cast<const char*>(old.digest), 16))
        return;
    const QByteArray digest = md5(now.iptc, now.iptcSize);
    std::memcpy(now.digest, digest.constData(), size_t(digest.size()));
}

QString alpha3(const QString& alpha2)
{
    const QByteArray code = alpha2.toLatin1();
    if (code.size() != 2)
        return QString();
    const auto* begin = std::begin(countrycodes::pairs);
    const auto* end = std::end(countrycodes::pairs);
    const auto before = [](const countrycodes::Pair& pair, const QByteArray& wanted) {
        return std::strcmp(pair.alpha2, wanted.constData()) < 0;
    };
    const auto* found = std::lower_bound(begin, end, code, before);
    return found != end && code == found->alpha2 ? QString::fromLatin1(found->alpha3) : QString();
}

bool named(const Exiv2::IptcData* iptc, const Exiv2::XmpData* xmp)
{
    for (const Keys& keys : allKeys) {
        if (iptc) {
            const auto found = iptc->findKey(Exiv2::IptcKey(keys.iptc));
            if (found != iptc->end() && !found->toString().empty())
                return true;
        }
        if (xmp) {
            const auto found = xmp->findKey(Exiv2::XmpKey(keys.xmp));
            if (found != xmp->end() && !found->toString().empty())
                return true;
        }
    }
    return false;
}

void setPlace(Exiv2::IptcData* iptc, Exiv2::XmpData* xmp, bool existing, const model::Place& place,
              Options options, std::vector<std::string>* keys, std::vector<std::string>* removed)
{
    if (!options.write || place.isEmpty() || (existing && !options.replace))
        return;
    if (iptc && !takesUtf8(*iptc))
        iptc = nullptr;
    const struct {
        const Keys& keys;
        QString iptcText;
        QString xmpText;
    } fields[] = {
        { cityKeys, place.city, place.city },
        { regionKeys, place.region, place.region },
        { countryKeys, place.country, place.country },
        { codeKeys, alpha3(place.countryCode), place.countryCode },
        { sublocationKeys, place.sublocation, place.sublocation },
    };
    bool iptcWritten = false;
    for (const auto& field : fields) {
        if (iptc) {
            const Exiv2::IptcKey key(field.keys.iptc);
            erase(*iptc, key);
            const std::string text = cut(field.iptcText, iptcLimit(key));
            if (text.empty()) {
                removed->push_back(field.keys.iptc);
            } else {
                Exiv2::StringValue value(text);
                iptc->add(key, &value);
                keys->push_back(field.keys.iptc);
                iptcWritten = true;
            }
        }
        if (xmp) {
            const Exiv2::XmpKey key(field.keys.xmp);
            erase(*xmp, key);
            if (field.xmpText.isEmpty()) {
                removed->push_back(field.keys.xmp);
            } else {
                (*xmp)[field.keys.xmp] = field.xmpText.toStdString();
                keys->push_back(field.keys.xmp);
            }
        }
    }
    if (iptcWritten) {
        (*iptc)[iptcCharset] = std::string(utf8Marker);
        keys->push_back(iptcCharset);
    }
}

} // namespace placetags
} // namespace controller
