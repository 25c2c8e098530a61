#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace service {

// The text without the blanks (spaces, tabs, line breaks) at its ends.
std::string trimmed(const std::string& text);

// Reads the whole text, blanks around it allowed, as a finite number
// (" 12.5", "-3e2"); false when it holds none. `value` may be written even
// then: "12 m" leaves 12 there.
bool toNumber(const std::string& text, double& value);

bool startsWith(const std::string& text, const std::string& prefix);
bool endsWith(const std::string& text, const std::string& suffix);

// A percent-encoded text as it was ("Br%C3%BCcke.gpx" -> "Brücke.gpx"); a
// '%' without two hexadecimal digits after it stays as it is. With
// plusIsSpace, as form data is written, a '+' is a space.
std::string percentDecoded(const std::string& text, bool plusIsSpace = false);

// The 64-bit FNV-1a hash of `size` bytes: fixed, unlike std::hash, so that
// every build and the data converters agree.
uint64_t fnv1a(const void* bytes, size_t size);

} // namespace service
