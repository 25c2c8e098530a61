#pragma once

#include <QImage>
#include <QSize>
#include <QString>

namespace view {

// A small picture of a photo, fitted into bound: the photo's embedded preview
// (camera raw files and most JPEGs carry one), or for a JPEG without one the
// photo decoded at a reduced scale. A raw file is never decoded in full.
// Null when the file has neither.
QImage photoPreview(const QString& filePath, const QSize& bound);

} // namespace view
