#include "service/qrsvg.h"

#include <qrencode.h>

#include <memory>

namespace service {

std::optional<std::string> qrSvg(const std::string& text, std::string* error)
{
    std::unique_ptr<QRcode, void (*)(QRcode*)> code(
        QRcode_encodeString8bit(text.c_str(), 0, QR_ECLEVEL_M), QRcode_free);
    if (!code) {
        if (error)
            *error = "the text cannot be a QR code (empty, or too long)";
        return std::nullopt;
    }
    const int width = code->width;
    const int size = width + 8;
    std::string path;
    for (int y = 0; y < width; ++y) {
        int x = 0;
        while (x < width) {
            if (!(code->data[y * width + x] & 1)) {
                ++x;
                continue;
            }
            const int start = x;
            while (x < width && (code->data[y * width + x] & 1))
                ++x;
            path += "M" + std::to_string(start + 4) + " " + std::to_string(y + 4) + "h" + std::to_string(x - start)
                + "v1h-" + std::to_string(x - start) + "z";
        }
    }
    const std::string s = std::to_string(size);
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " + s + " " + s
        + "\" shape-rendering=\"crispEdges\"><rect width=\"" + s + "\" height=\"" + s
        + "\" fill=\"#fff\"/><path fill=\"#000\" d=\"" + path + "\"/></svg>";
}

} // namespace service
