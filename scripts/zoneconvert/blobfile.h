#pragma once

// Files of the converters: the data they read and the data they write for
// the service to embed, with the header that tells its file, size and digest.

#include "zonetree.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace zoneconvert {

std::vector<uint8_t> readFile(const std::string& path);

// Writes through a temporary file renamed into place.
void writeFile(const std::string& path, const void* data, size_t size);

// The next multiple of service::zoneblob::sectionAlignment.
uint32_t aligned(size_t offset);

// Copies `count` items to `out` at byte `offset`.
template <typename T>
void place(std::vector<uint8_t>& out, uint32_t offset, const T* data, size_t count)
{
    std::memcpy(out.data() + offset, data, count * sizeof(T));
}

// Boundary data as service/zoneblob.h lays it out: the zones' names, in the
// order of their numbers, and the tree.
std::vector<uint8_t> layOut(const std::vector<std::string>& names, const ZoneTree& tree);

// Writes `data` to dataPath and, to headerPath, the header that has the
// service embed it: PREFIX_FILE (its absolute path), PREFIX_BYTES and
// PREFIX_DIGEST (FNV-1a of every byte), PREFIX standing for `prefix`.
void writeEmbedded(const std::string& dataPath, const std::string& headerPath, const std::string& prefix,
                   const std::vector<uint8_t>& data, const std::string& program);

} // namespace zoneconvert
