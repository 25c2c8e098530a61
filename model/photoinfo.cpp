#include "model/photoinfo.h"

namespace model {

void PhotoInfo::clear()
{
    syncId = QStringLiteral("");
    elapsedTime = 0;
    dateTimeOriginal = QStringLiteral("");
    model = QStringLiteral("");
    serialNumber = QStringLiteral("");
    internalSerialNumber = QStringLiteral("");
    shutterCount = 0;
    fileNumber = QStringLiteral("");
    gpsProcessingMethod = QStringLiteral("");
    timeZone = QStringLiteral("");
    subSecTimeOriginal = QStringLiteral("");
}

} // namespace model
