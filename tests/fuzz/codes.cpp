// Fuzz target: the QR reader on small images. The first byte picks the form
// of the rest: a gray image (a byte for its width and one for its height, at
// most 64 each, then its pixels, row by row, missing ones white) decoded once
// and in its four turns, or the bytes of an image file read as a dropped
// photo is, when its size is at most 256 x 256.

#include "scratch.h"

#include "controller/barcodereader.h"

#include <QBuffer>
#include <QImageReader>

#include <cstring>

namespace {

void readGray(const uint8_t* data, size_t size)
{
    if (size < 2)
        return;
    const int width = 1 + data[0] % 64;
    const int height = 1 + data[1] % 64;
    data += 2;
    size -= 2;
    QImage image(width, height, QImage::Format_Grayscale8);
    for (int y = 0; y < height; ++y) {
        uchar* row = image.scanLine(y);
        const size_t at = size_t(y) * size_t(width);
        const size_t taken = at < size ? std::min(size - at, size_t(width)) : 0;
        std::memcpy(row, data + at, taken);
        std::memset(row + taken, 255, size_t(width) - taken);
    }
    controller::BarcodeReader reader;
    model::PhotoInfo info;
    reader.decode(image, &info);
    reader.readRotated(image, &info);
}

void readFile(const uint8_t* data, size_t size)
{
    QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), int(size));
    QBuffer buffer(&bytes);
    QImageReader probe(&buffer);
    probe.setDecideFormatFromContent(true);
    const QSize imageSize = probe.size();
    if (!imageSize.isValid() || imageSize.width() > 256 || imageSize.height() > 256)
        return;
    const std::string path = fuzz::scratchFile("photo", data, size);
    controller::BarcodeReader reader;
    model::PhotoInfo info;
    reader.read(QString::fromStdString(path), &info);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0 || size > (1 << 20))
        return 0;
    if (data[0] % 2 == 0)
        readGray(data + 1, size - 1);
    else
        readFile(data + 1, size - 1);
    return 0;
}
