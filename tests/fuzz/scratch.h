#pragma once

// A file that fuzz targets hand to readers that take a path: one per process,
// in a folder of its own under the system's temporary folder, rewritten for
// every input and removed when the process ends.

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

// The path of the file `name` in the process's folder.
std::string scratchPath(const std::string& name);
// Writes the bytes to the file named `name` in the process's folder and
// returns its path; aborts when that fails, as the input then tests nothing.
std::string scratchFile(const std::string& name, const uint8_t* data, size_t size);

} // namespace fuzz
