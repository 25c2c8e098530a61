#include "controller/barcodereader.h"

#include <QImageReader>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <quirc.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "json/jsonvalue.h"

namespace controller {

namespace {

// A rectangle of an 8-bit gray image, addressed without copying it.
struct GrayView {
    const uchar* bits = nullptr;
    int width = 0;
    int height = 0;
    qsizetype stride = 0;

    static GrayView of(const QImage& image)
    {
        return { image.constBits(), image.width(), image.height(), image.bytesPerLine() };
    }

    // The rectangle at (x, y) of size width x height, clipped to the view.
    GrayView cropped(int x, int y, int w, int h) const
    {
        x = qBound(0, x, width);
        y = qBound(0, y, height);
        w = qBound(0, w, width - x);
        h = qBound(0, h, height - y);
        return { bits + y * stride + x, w, h, stride };
    }

    bool isNull() const { return !bits || width <= 0 || height <= 0; }
};

#if defined(__SSE2__)
// Transposes the 8 x 8 bytes at column x of the eight rows: out row j holds
// column x + j, top (rows[0]) first.
inline void transpose8(const uchar* const rows[8], int x, uchar* const out[8])
{
    __m128i a[8];
    for (int i = 0; i < 8; ++i)
        a[i] = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(rows[i] + x));
    const __m128i b0 = _mm_unpacklo_epi8(a[0], a[1]);
    const __m128i b1 = _mm_unpacklo_epi8(a[2], a[3]);
    const __m128i b2 = _mm_unpacklo_epi8(a[4], a[5]);
    const __m128i b3 = _mm_unpacklo_epi8(a[6], a[7]);
    const __m128i c0 = _mm_unpacklo_epi16(b0, b1);
    const __m128i c1 = _mm_unpackhi_epi16(b0, b1);
    const __m128i c2 = _mm_unpacklo_epi16(b2, b3);
    const __m128i c3 = _mm_unpackhi_epi16(b2, b3);
    const __m128i d[4] = { _mm_unpacklo_epi32(c0, c2), _mm_unpackhi_epi32(c0, c2), _mm_unpacklo_epi32(c1, c3),
                           _mm_unpackhi_epi32(c1, c3) };
    for (int i = 0; i < 4; ++i) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out[2 * i]), d[i]);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out[2 * i + 1]), _mm_srli_si128(d[i], 8));
    }
}
#endif

// Writes the view, turned clockwise by quarterTurns quarter turns, into dest
// (rows of the turned size, no gap bytes). The turned image is what rotating by
// 90 degrees that many times would give; it is never built as an image.
void copyTurned(const GrayView& view, int quarterTurns, uchar* dest)
{
    const int w = view.width;
    const int h = view.height;
    const uchar* src = view.bits;
    const qsizetype s = view.stride;
    switch (quarterTurns & 3) {
    case 0:
        for (int y = 0; y < h; ++y)
            std::memcpy(dest + qsizetype(y) * w, src + y * s, size_t(w));
        return;
    case 2:
        for (int y = 0; y < h; ++y) {
            const uchar* in = src + (h - 1 - y) * s + (w - 1);
            uchar* out = dest + qsizetype(y) * w;
            for (int x = 0; x < w; ++x)
                out[x] = in[-x];
        }
        return;
    default:
        break;
    }
    // A quarter turn: the result is h wide and w high; source column c
    // becomes row c (clockwise, read bottom up) or row w - 1 - c.
    const bool clockwise = (quarterTurns & 3) == 1;
    auto outRow = [&](int column) { return dest + qsizetype(clockwise ? column : w - 1 - column) * h; };
    auto outX = [&](int row) { return clockwise ? h - 1 - row : row; };
    int blockRows = 0;
    int blockColumns = 0;
#if defined(__SSE2__)
    // Blocks of 8 x 8 pixels, a band of columns at a time so that the rows
    // being written stay within the cache.
    blockRows = h / 8 * 8;
    blockColumns = w / 8 * 8;
    const int band = 512;
    for (int c0 = 0; c0 < blockColumns; c0 += band) {
        const int c1 = std::min(c0 + band, blockColumns);
        for (int r = 0; r < blockRows; r += 8) {
            // Clockwise, the bottom row of the block comes first in the result.
            const uchar* rows[8];
            for (int i = 0; i < 8; ++i)
                rows[i] = src + qsizetype(clockwise ? r + 7 - i : r + i) * s;
            const int x = clockwise ? h - 8 - r : r;
            for (int c = c0; c < c1; c += 8) {
                uchar* out[8];
                for (int j = 0; j < 8; ++j)
                    out[j] = outRow(c + j) + x;
                transpose8(rows, c, out);
            }
        }
    }
#endif
    // What the blocks left: the last columns of the block rows, then the last rows.
    for (int r = 0; r < h; ++r) {
        const uchar* in = src + qsizetype(r) * s;
        for (int c = r < blockRows ? blockColumns : 0; c < w; ++c)
            outRow(c)[outX(r)] = in[c];
    }
}

// Reads "syncID" and "elapsedTime" from the payload text; false when either
// is missing or null. The record is changed only on success.
bool readPayload(const QByteArray& text, model::PhotoInfo* info)
{
    const JsonValue root = JsonValue::parse(text.toStdString());
    const JsonValue& syncId = root.get("syncID");
    if (syncId.isNull())
        return false;
    const JsonValue& elapsedTime = root.get("elapsedTime");
    if (elapsedTime.isNull())
        return false;
    info->syncId = QString::fromUtf8(syncId.asString(""));
    info->elapsedTime = elapsedTime.asInt(0);
    return true;
}

// Starts work on a thread of its own; when the system cannot start one, the
// work is done here and the thread returned is empty.
template <typename Work>
std::thread startOrRun(const Work& work)
{
    try {
        return std::thread(work);
    } catch (const std::system_error&) {
        work();
        return std::thread();
    }
}

// One quirc decoder for every pass over a photo. The decoder keeps buffers
// that are large enough, so after the first pass (the whole photo, the
// largest image of all) no pass allocates or touches fresh memory again.
class Decoder {
public:
    Decoder() : m_decoder(quirc_new()) {}
    ~Decoder()
    {
        if (m_decoder)
            quirc_destroy(m_decoder);
    }
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;
    quirc* get() const { return m_decoder; }

private:
    quirc* m_decoder;
};

// One decoding pass: a view of a gray image, turned by quarterTurns.
struct Pass {
    GrayView view;
    int quarterTurns = 0;
};

// What one pass found, kept until the passes are settled in their order.
struct PassResult {
    bool started = false; // the pass had an image and a decoder
    int width = 0;
    int height = 0;
    bool sized = false;   // the decoder took the image's size
    bool decoded = false; // the first code decoded into payload
    QByteArray payload;
    bool complete = false; // the payload holds both values
};

// One quirc pass; only the first code quirc reports is decoded. It touches
// nothing but the decoder, so passes may run on several threads at once.
PassResult runPass(Decoder& reused, const Pass& pass)
{
    PassResult result;
    quirc* decoder = reused.get();
    if (pass.view.isNull() || !decoder)
        return result;
    result.started = true;
    const bool upright = (pass.quarterTurns & 1) == 0;
    result.width = upright ? pass.view.width : pass.view.height;
    result.height = upright ? pass.view.height : pass.view.width;
    int w = 0;
    int h = 0;
    uchar* buffer = nullptr;
    if (quirc_resize(decoder, result.width, result.height) >= 0)
        buffer = quirc_begin(decoder, &w, &h);
    if (!buffer || w != result.width || h != result.height)
        return result;
    result.sized = true;
    copyTurned(pass.view, pass.quarterTurns, buffer);
    quirc_end(decoder);
    if (quirc_count(decoder) < 1)
        return result;
    quirc_code code;
    quirc_data data;
    quirc_extract(decoder, 0, &code);
    if (quirc_decode(&code, &data) != QUIRC_SUCCESS)
        return result;
    const int length = qBound(0, data.payload_len, int(sizeof(data.payload)));
    const char* text = reinterpret_cast<const char*>(data.payload);
    result.decoded = true;
    result.payload = QByteArray(text, int(qstrnlen(text, uint(length))));
    model::PhotoInfo scratch;
    result.complete = readPayload(result.payload, &scratch);
    return result;
}

// The decoders of one read, one a thread, kept from the twelve passes to the
// further ones so that those find their buffers ready.
using Decoders = std::vector<std::unique_ptr<Decoder>>;

// Runs the passes, several at a time on threads of their own, and settles
// them in their order as if they had run one after the other: each pass's
// size goes to watch, and the first pass whose code holds both
// values decides. Passes after it that ran ahead are dropped unseen; passes
// after a known success are not started.
bool decodeInOrder(const std::vector<Pass>& passes, model::PhotoInfo* info, Decoders& decoders,
                   const BarcodeReader::PassWatch& watch)
{
    const int count = int(passes.size());
    std::vector<PassResult> results(passes.size());
    std::atomic<int> next { 0 };
    std::atomic<int> firstSuccess { count };
    // Each worker holds a decoder as large as the photo (three bytes a pixel).
    const int workers = std::min(count, std::max(1, std::min(4, QThread::idealThreadCount())));
    while (int(decoders.size()) < workers)
        decoders.push_back(std::make_unique<Decoder>());
    auto work = [&](Decoder& decoder) {
        for (int i = next++; i < count && i < firstSuccess; i = next++) {
            results[size_t(i)] = runPass(decoder, passes[size_t(i)]);
            if (results[size_t(i)].complete) {
                int known = firstSuccess;
                while (i < known && !firstSuccess.compare_exchange_weak(known, i)) {
                }
            }
        }
    };
    std::vector<std::thread> helpers;
    for (int i = 1; i < workers; ++i) {
        Decoder& decoder = *decoders[size_t(i)];
        helpers.push_back(startOrRun([&work, &decoder] { work(decoder); }));
    }
    work(*decoders[0]);
    for (std::thread& helper : helpers)
        if (helper.joinable())
            helper.join();

    for (const PassResult& result : results) {
        if (!result.started)
            continue;
        if (watch)
            watch(QSize(result.width, result.height));
        if (!result.sized)
            continue;
        // The payload is read again into the caller's record, so a pass that
        // fails after finding "syncID" leaves it set, as one pass alone would.
        if (result.decoded && readPayload(result.payload, info))
            return true;
    }
    return false;
}

// The four quarter turns of a view, in order.
void addTurns(std::vector<Pass>& passes, const GrayView& view)
{
    for (int turns = 0; turns < 4; ++turns)
        passes.push_back({ view, turns });
}

// The view at half size, every pixel the rounded mean of a 2 x 2 block.
QImage halfSize(const GrayView& view)
{
    const int w = view.width / 2;
    const int h = view.height / 2;
    if (w <= 0 || h <= 0)
        return QImage();
    QImage half(w, h, QImage::Format_Grayscale8);
    if (half.isNull())
        return half;
    for (int y = 0; y < h; ++y) {
        const uchar* a = view.bits + 2 * y * view.stride;
        const uchar* b = a + view.stride;
        uchar* out = half.scanLine(y);
        for (int x = 0; x < w; ++x)
            out[x] = uchar((a[2 * x] + a[2 * x + 1] + b[2 * x] + b[2 * x + 1] + 2) / 4);
    }
    return half;
}

// Local-contrast normalisation: a pixel becomes black when it is darker than
// the mean of the square window around it by more than a small margin, white
// otherwise. A glare band or a brightness gradient across the code then no
// longer decides which modules are dark. The window sums come from an integral
// image; unsigned wrap-around keeps the differences exact because no window
// sum reaches 2^32.
QImage normalizedContrast(const GrayView& view, int window, int margin)
{
    const int w = view.width;
    const int h = view.height;
    QImage result(w, h, QImage::Format_Grayscale8);
    if (result.isNull())
        return result;
    const qsizetype iw = qsizetype(w) + 1;
    std::vector<quint32> integral(size_t(iw) * size_t(h + 1), 0u);
    for (int y = 0; y < h; ++y) {
        const uchar* in = view.bits + y * view.stride;
        const quint32* above = integral.data() + qsizetype(y) * iw;
        quint32* row = integral.data() + qsizetype(y + 1) * iw;
        quint32 sum = 0;
        for (int x = 0; x < w; ++x) {
            sum += in[x];
            row[x + 1] = above[x + 1] + sum;
        }
    }
    const int r = window / 2;
    for (int y = 0; y < h; ++y) {
        const int top = std::max(0, y - r);
        const int bottom = std::min(h, y + r + 1);
        const quint32* t = integral.data() + qsizetype(top) * iw;
        const quint32* b = integral.data() + qsizetype(bottom) * iw;
        const uchar* in = view.bits + y * view.stride;
        uchar* out = result.scanLine(y);
        for (int x = 0; x < w; ++x) {
            const int left = std::max(0, x - r);
            const int right = std::min(w, x + r + 1);
            const quint32 sum = b[right] - b[left] - t[right] + t[left];
            const quint32 count = quint32((bottom - top) * (right - left));
            out[x] = (quint32(in[x] + margin) * count < sum) ? 0 : 255;
        }
    }
    return result;
}

// The passes tried after the twelve of read() have failed: half size,
// quarter size, then both after a local-contrast normalisation.
bool decodeFurther(const GrayView& whole, model::PhotoInfo* info, Decoders& decoders,
                   const BarcodeReader::PassWatch& watch)
{
    const QImage half = halfSize(whole);
    if (half.isNull())
        return false;
    // The normalised half is made on a thread of its own while the quarter
    // sizes are made here.
    QImage normalized;
    std::thread normalizing = startOrRun([&half, &normalized] {
        // A window of a few code modules for a code that covers a fair part
        // of the photo's short side.
        const int window = std::max(15, std::min(half.width(), half.height()) / 20) | 1;
        normalized = normalizedContrast(GrayView::of(half), window, 6);
    });
    const QImage quarter = halfSize(GrayView::of(half));
    // At quarter size the area average has already smoothed noise and JPEG
    // blocks away, so the normalised picture holds cleaner modules.
    QImage normalizedQuarter;
    if (!quarter.isNull()) {
        const int quarterWindow = std::max(15, std::min(quarter.width(), quarter.height()) / 20) | 1;
        normalizedQuarter = normalizedContrast(GrayView::of(quarter), quarterWindow, 4);
    }
    if (normalizing.joinable())
        normalizing.join();
    std::vector<Pass> passes { { GrayView::of(half), 0 } };
    for (const QImage* image : std::initializer_list<const QImage*> { &quarter, &normalized, &normalizedQuarter })
        if (!image->isNull())
            passes.push_back({ GrayView::of(*image), 0 });
    return decodeInOrder(passes, info, decoders, watch);
}

} // namespace

BarcodeReader::BarcodeReader(QObject* parent, PassWatch watch)
    : QObject(parent)
    , m_watch(std::move(watch))
{
}

bool BarcodeReader::read(QString path, model::PhotoInfo* info)
{
    QImage photo;
    {
        QImageReader reader(path);
        reader.setDecideFormatFromContent(true);
        photo = reader.read();
    }
    if (photo.isNull())
        return false;
    // The colour photo is released as soon as its gray copy exists.
    const QImage gray = toGrayscale(std::move(photo));
    const GrayView whole = GrayView::of(gray);
    if (whole.isNull())
        return false;

    const int w = whole.width;
    const int h = whole.height;
    std::vector<Pass> passes;
    addTurns(passes, whole);
    addTurns(passes, whole.cropped(int(0.125 * w), int(0.125 * h), int(0.75 * w), int(0.75 * h)));
    addTurns(passes, whole.cropped(int(0.25 * w), int(0.25 * h), int(0.5 * w), int(0.5 * h)));
    Decoders decoders;
    if (decodeInOrder(passes, info, decoders, m_watch))
        return true;
    return decodeFurther(whole, info, decoders, m_watch);
}

bool BarcodeReader::readRotated(QImage image, model::PhotoInfo* info)
{
    if (image.isNull())
        return false;
    if (image.format() != QImage::Format_Grayscale8)
        image = toGrayscale(std::move(image));
    std::vector<Pass> passes;
    addTurns(passes, GrayView::of(image));
    Decoders decoders;
    return decodeInOrder(passes, info, decoders, m_watch);
}

bool BarcodeReader::decode(QImage image, model::PhotoInfo* info)
{
    if (image.isNull())
        return false;
    // quirc reads one byte per pixel; anything else would be read as noise.
    if (image.format() != QImage::Format_Grayscale8)
        image = toGrayscale(std::move(image));
    Decoders decoders;
    return decodeInOrder({ { GrayView::of(image), 0 } }, info, decoders, m_watch);
}

QImage BarcodeReader::turned(const QImage& gray, int quarterTurns)
{
    if (gray.format() != QImage::Format_Grayscale8)
        return QImage();
    const bool upright = (quarterTurns & 1) == 0;
    QImage result(upright ? gray.size() : gray.size().transposed(), QImage::Format_Grayscale8);
    if (result.isNull())
        return result;
    // copyTurned writes rows without gap bytes; the image's rows are padded to 4.
    std::vector<uchar> rows(size_t(result.width()) * size_t(result.height()));
    copyTurned(GrayView::of(gray), quarterTurns, rows.data());
    for (int y = 0; y < result.height(); ++y)
        std::memcpy(result.scanLine(y), rows.data() + qsizetype(y) * result.width(), size_t(result.width()));
    return result;
}

QImage BarcodeReader::toGrayscale(QImage image)
{
    QImage gray(image.width(), image.height(), QImage::Format_Grayscale8);
    if (image.isNull() || gray.isNull())
        return gray;
    if (image.format() != QImage::Format_RGB32 && image.format() != QImage::Format_ARGB32)
        image = image.convertToFormat(QImage::Format_RGB32);
    const int width = image.width();
    const int height = image.height();
    const uchar* inBits = image.constBits();
    const qsizetype inStride = image.bytesPerLine();
    uchar* outBits = gray.bits();
    const qsizetype outStride = gray.bytesPerLine();
    auto convert = [=](int from, int to) {
        for (int y = from; y < to; ++y) {
            const QRgb* in = reinterpret_cast<const QRgb*>(inBits + y * inStride);
            uchar* out = outBits + y * outStride;
            for (int x = 0; x < width; ++x) {
                const QRgb pixel = in[x];
                out[x] = uchar((qRed(pixel) + qGreen(pixel) + qBlue(pixel)) / 3);
            }
        }
    };
    // A photo-sized image is converted in two halves at once.
    const bool split = qint64(width) * height >= (1 << 20) && QThread::idealThreadCount() > 1;
    std::thread lower;
    if (split)
        lower = startOrRun([&convert, height] { convert(height / 2, height); });
    convert(0, split ? height / 2 : height);
    if (lower.joinable())
        lower.join();
    return gray;
}

} // namespace controller
