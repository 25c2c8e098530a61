#include "controller/barcodereader.h"

namespace controller {

BarcodeReader::BarcodeReader(QObject* parent)
    : QObject(parent)
{
}

bool BarcodeReader::read(QString, model::PhotoInfo*)
{
    return false;
}

bool BarcodeReader::readRotated(QImage, model::PhotoInfo*)
{
    return false;
}

bool BarcodeReader::decode(QImage, model::PhotoInfo*)
{
    return false;
}

QImage BarcodeReader::toGrayscale(QImage image)
{
    return image.convertToFormat(QImage::Format_Grayscale8);
}

} // namespace controller
