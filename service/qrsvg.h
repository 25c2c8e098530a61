#pragma once

#include <optional>
#include <string>

namespace service {

// The QR code of text as an SVG image (black modules on white, with a quiet
// zone of four modules); nothing, with the reason, when the text cannot be
// encoded.
std::optional<std::string> qrSvg(const std::string& text, std::string* error = nullptr);

} // namespace service
