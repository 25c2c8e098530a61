#pragma once

// Camera-like photos of a phone that shows a QR synchronization code, for the
// reader's tests and its benchmark. Header only, so that the benchmark (which
// does not link the test helper library) can use it too; needs libqrencode.

#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QLinearGradient>
#include <QList>
#include <QPair>
#include <QString>
#include <QPainter>
#include <QTransform>
#include <QtGlobal>

#include <algorithm>
#include <functional>
#include <vector>

#include <qrencode.h>

namespace testsupport {

struct SyncScene {
    int width = 4000;
    int height = 3000;
    double codeFraction = 0.25; // code side (quiet zone included) / short side of the photo
    double tilt = 0;            // degrees the phone is turned in the picture
    int quarterTurns = 0;       // clockwise quarter turns of the whole photo
    int blur = 0;               // box blur radius in pixels, applied to the phone
    int noise = 0;              // amplitude of the per-pixel noise
    double contrast = 1;        // contrast of the whole photo around mid gray
    double glare = 0;           // opacity of a white band across the screen (0: none)
    int background = 120;       // mean brightness of the scene around the phone
    int seed = 1;
    bool showCode = true;       // false: the screen is blank
    int jpegQuality = 90;       // quality the photo is saved with
};

// The modules of a QR code of the bytes (which may hold NUL; version chosen by
// the encoder, level M): side x side values, true for dark. Empty when the
// bytes cannot be encoded.
inline std::vector<bool> qrModules(const QByteArray& text, int* side)
{
    std::vector<bool> modules;
    *side = 0;
    QRcode* code = QRcode_encodeData(text.size(), reinterpret_cast<const unsigned char*>(text.constData()), 0,
                                     QR_ECLEVEL_M);
    if (!code)
        return modules;
    *side = code->width;
    modules.resize(size_t(code->width) * size_t(code->width));
    for (size_t i = 0; i < modules.size(); ++i)
        modules[i] = code->data[i] & 1;
    QRcode_free(code);
    return modules;
}

// A small, fast, reproducible pseudo-random sequence.
struct SceneRandom {
    quint32 state;
    explicit SceneRandom(int seed) : state(quint32(seed) * 2654435761u + 1u) { }
    quint32 next()
    {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
};

// Box blur of radius r, in place, on an RGB32 image (each channel, rows then columns).
inline void boxBlur(QImage& image, int r)
{
    if (r <= 0 || image.isNull())
        return;
    const int w = image.width();
    const int h = image.height();
    const int n = 2 * r + 1;
    std::vector<QRgb> line(size_t(std::max(w, h)));
    auto blurLine = [&](QRgb* first, qsizetype step, int length) {
        for (int i = 0; i < length; ++i)
            line[size_t(i)] = first[i * step];
        int sr = 0, sg = 0, sb = 0;
        auto at = [&](int i) { return line[size_t(qBound(0, i, length - 1))]; };
        for (int i = -r; i <= r; ++i) {
            sr += qRed(at(i));
            sg += qGreen(at(i));
            sb += qBlue(at(i));
        }
        for (int i = 0; i < length; ++i) {
            first[i * step] = qRgb(sr / n, sg / n, sb / n);
            const QRgb in = at(i + r + 1);
            const QRgb out = at(i - r);
            sr += qRed(in) - qRed(out);
            sg += qGreen(in) - qGreen(out);
            sb += qBlue(in) - qBlue(out);
        }
    };
    QRgb* bits = reinterpret_cast<QRgb*>(image.bits());
    const qsizetype stride = image.bytesPerLine() / 4;
    for (int y = 0; y < h; ++y)
        blurLine(bits + y * stride, 1, w);
    for (int x = 0; x < w; ++x)
        blurLine(bits + x, stride, h);
}

// A photo of size scene.width x scene.height: a textured room, a phone with a
// dark body whose white screen shows the QR code of text, then the scene's
// degradations. Null when the text cannot be encoded.
inline QImage syncSceneImage(const QByteArray& text, const SyncScene& scene)
{
    int side = 0;
    const std::vector<bool> modules = qrModules(text, &side);
    if (modules.empty())
        return QImage();
    SceneRandom random(scene.seed);

    // The room: a coarse random pattern blown up smoothly, so that it has
    // large soft shapes like a real background.
    QImage coarse(32, 24, QImage::Format_RGB32);
    for (int y = 0; y < coarse.height(); ++y)
        for (int x = 0; x < coarse.width(); ++x) {
            const int v = qBound(0, scene.background + int(random.next() % 121) - 60, 255);
            coarse.setPixel(x, y, qRgb(qBound(0, v + 20, 255), v, qBound(0, v - 25, 255)));
        }
    QImage photo = coarse.scaled(scene.width, scene.height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                       .convertToFormat(QImage::Format_RGB32);

    // The phone: body, screen and code, drawn upright at whole pixels per module.
    const int shortSide = std::min(scene.width, scene.height);
    const int module = std::max(2, int(scene.codeFraction * shortSide / (side + 8)));
    const int codeSide = (side + 8) * module;
    const int bezel = codeSide / 10;
    QImage phone(codeSide + 2 * bezel, codeSide * 2, QImage::Format_ARGB32_Premultiplied);
    phone.fill(Qt::transparent);
    {
        QPainter painter(&phone);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(28, 28, 32));
        painter.drawRoundedRect(phone.rect(), bezel, bezel);
        painter.setBrush(QColor(236, 238, 240));
        const int top = (phone.height() - codeSide) / 2;
        painter.drawRect(bezel, bezel * 2, codeSide, phone.height() - bezel * 4);
        painter.setBrush(QColor(22, 22, 26));
        for (int y = 0; y < side && scene.showCode; ++y)
            for (int x = 0; x < side; ++x)
                if (modules[size_t(y * side + x)])
                    painter.drawRect(bezel + (x + 4) * module, top + (y + 4) * module, module, module);
    }
    {
        QPainter painter(&photo);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.translate(scene.width / 2.0, scene.height / 2.0);
        painter.rotate(scene.tilt);
        painter.drawImage(QPointF(-phone.width() / 2.0, -phone.height() / 2.0), phone);
        if (scene.glare > 0) {
            // A bright diagonal reflection across the screen.
            QLinearGradient band(QPointF(-codeSide / 2.0, -codeSide / 2.0), QPointF(codeSide / 2.0, codeSide / 2.0));
            for (const double at : { 0.0, 0.25, 0.35, 0.65, 0.75, 1.0 })
                band.setColorAt(at, QColor(255, 255, 255, at > 0.3 && at < 0.7 ? int(255 * scene.glare) : 0));
            painter.fillRect(QRectF(-phone.width() / 2.0, -phone.height() / 2.0, phone.width(), phone.height()), band);
        }
    }
    if (scene.blur > 0) {
        // Only the part around the phone needs it; blurring the rest costs time.
        const int reach = int(std::hypot(phone.width(), phone.height()) / 2) + 2 * scene.blur;
        const QRect around = QRect(scene.width / 2 - reach, scene.height / 2 - reach, 2 * reach, 2 * reach)
                                 .intersected(photo.rect());
        QImage part = photo.copy(around);
        boxBlur(part, scene.blur);
        QPainter painter(&photo);
        painter.drawImage(around.topLeft(), part);
    }
    if (scene.noise > 0 || scene.contrast != 1) {
        int table[256];
        for (int v = 0; v < 256; ++v)
            table[v] = int(128 + (v - 128) * scene.contrast);
        const quint32 span = quint32(2 * scene.noise + 1);
        for (int y = 0; y < photo.height(); ++y) {
            QRgb* line = reinterpret_cast<QRgb*>(photo.scanLine(y));
            for (int x = 0; x < photo.width(); ++x) {
                const int n = scene.noise > 0 ? int(random.next() % span) - scene.noise : 0;
                const QRgb p = line[x];
                line[x] = qRgb(qBound(0, table[qRed(p)] + n, 255), qBound(0, table[qGreen(p)] + n, 255),
                               qBound(0, table[qBlue(p)] + n, 255));
            }
        }
    }
    if (scene.quarterTurns & 3)
        photo = photo.transformed(QTransform().rotate(90.0 * (scene.quarterTurns & 3)));
    return photo;
}

// The realistic set: one photo per kind of trouble a camera photo of a phone
// screen brings, at the given size.
inline QList<QPair<QString, SyncScene>> realisticScenes(int width, int height)
{
    SyncScene plain;
    plain.width = width;
    plain.height = height;
    plain.blur = 1;
    plain.noise = 4;
    QList<QPair<QString, SyncScene>> scenes;
    const auto add = [&](const char* name, const std::function<void(SyncScene&)>& change) {
        SyncScene scene = plain;
        change(scene);
        scenes.append({ QString::fromLatin1(name), scene });
    };
    add("plain", [](SyncScene&) {});
    add("turned 90", [](SyncScene& s) { s.quarterTurns = 1; });
    add("turned 180", [](SyncScene& s) { s.quarterTurns = 2; });
    add("tilted 7 degrees", [](SyncScene& s) { s.tilt = 7; });
    add("blurred", [width](SyncScene& s) { s.blur = std::max(2, width / 1000); });
    add("noisy", [](SyncScene& s) { s.noise = 40; });
    add("low contrast", [](SyncScene& s) { s.contrast = 0.3; });
    add("glare band", [](SyncScene& s) { s.glare = 0.75; });
    add("JPEG quality 25", [](SyncScene& s) { s.jpegQuality = 25; });
    add("bright room", [](SyncScene& s) { s.background = 200; });
    add("small code", [](SyncScene& s) {
        s.codeFraction = 0.12;
        s.tilt = -4;
    });
    return scenes;
}

} // namespace testsupport
