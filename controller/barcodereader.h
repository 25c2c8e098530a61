#pragma once

#include <QImage>
#include <QObject>
#include <QString>

#include "model/photoinfo.h"

namespace controller {

// Finds the QR synchronization code in a photo and reads its payload.
class BarcodeReader : public QObject {
    Q_OBJECT
public:
    explicit BarcodeReader(QObject* parent = nullptr);

    bool read(QString path, model::PhotoInfo* info);
    bool readRotated(QImage image, model::PhotoInfo* info);
    bool decode(QImage image, model::PhotoInfo* info);
    static QImage toGrayscale(QImage image);
};

} // namespace controller
