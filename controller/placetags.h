#pragma once

#include <QString>

#include <cstddef>
#include <string>
#include <vector>

#include "model/model.h"

namespace Exiv2 {
class IptcData;
class XmpData;
}

namespace controller {
// The place names a geotag answer writes beside the position: IPTC IIM
// (Application record, in UTF-8) and the XMP properties photo managers read.
namespace placetags {

// Whether place names are written, and whether they replace those a photo
// has already.
struct Options {
    bool write = true;
    bool replace = false;
};

// The ISO 3166-1 alpha-3 code of an alpha-2 code ("PT": "PRT"); empty when
// there is none.
QString alpha3(const QString& alpha2);

// True when any place entry of iptc (when given) or xmp holds a text.
bool named(const Exiv2::IptcData* iptc, const Exiv2::XmpData* xmp);

// Sets the entries of place in iptc and xmp (either may be null: the file
// cannot hold them), as options ask: nothing when place names are not
// written, the place is empty, or existing holds a place name already
// (unless options.replace). Empty fields are not written: an entry that held
// one is taken out. IPTC texts are cut at a character to the lengths IIM
// allows and marked as UTF-8; they are left out of IPTC data whose other
// texts are in another character set. keys gets each key set, removed each
// key taken out.
void setPlace(Exiv2::IptcData* iptc, Exiv2::XmpData* xmp, bool existing, const model::Place& place,
              Options options, std::vector<std::string>* keys, std::vector<std::string>* removed);

// Keeps Photoshop's digest of the IPTC data current in a JPEG whose IPTC
// the library wrote anew: where the digest (resource 0x0425 beside the IPTC
// data, 0x0404, in an APP13 segment) matched the IPTC data in before, it is
// made that of the IPTC data in after. Both are a JPEG's bytes up to its
// image data; after is changed in place. A digest that was stale stays so.
void refreshIptcDigest(const unsigned char* before, size_t beforeSize, unsigned char* after, size_t afterSize);

} // namespace placetags
} // namespace controller
