#pragma once

#include <string>

namespace service {

// The QR code of text as an SVG image (black modules on white, with a quiet
// zone of four modules); empty when the text cannot be encoded.
std::string qrSvg(const std::string& text);

} // namespace service
