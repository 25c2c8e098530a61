#include "controller/barcodereader.h"

namespace controller {

BarcodeReader::BarcodeReader(QObject* parent)
    : QObject(parent)
{
}

} // namespace controller
