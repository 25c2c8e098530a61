#pragma once

#include <QImage>
#include <QObject>
#include <QSize>
#include <QString>

#include <functional>

#include "model/photoinfo.h"

namespace controller {

// Finds the QR synchronization code in a photo and reads its payload.
//
// read() tries the whole photo, its centred 75 % crop and its centred 50 % crop,
// each at 0, 90, 180 and 270 degrees, and stops at the first code whose payload
// holds "syncID" and "elapsedTime". When all twelve passes fail it tries the
// photo at half and quarter size and both after a local-contrast
// normalisation, which read codes that are blurred, noisy or under a glare band.
class BarcodeReader : public QObject {
    Q_OBJECT
public:
    // Sees the size of every decoding pass the reader settles, in order.
    using PassWatch = std::function<void(const QSize& size)>;

    // watch, when given, sees the passes (a test or a benchmark counts them).
    explicit BarcodeReader(QObject* parent = nullptr, PassWatch watch = PassWatch());

    bool read(QString path, model::PhotoInfo* info);
    bool readRotated(QImage image, model::PhotoInfo* info);
    bool decode(QImage image, model::PhotoInfo* info);
    static QImage toGrayscale(QImage image);
    // The 8-bit gray image turned clockwise by quarterTurns quarter turns, as
    // the pass for that turn sees it; a null image for any other format.
    static QImage turned(const QImage& gray, int quarterTurns);

private:
    PassWatch m_watch;
};

} // namespace controller
