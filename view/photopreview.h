#pragma once

#include <QImage>
#include <QSize>
#include <QString>
#include <functional>

class QObject;

namespace view {

// A small picture of a photo, fitted into bound. A raw file is never decoded
// in full: only the preview the camera embedded is read.

// The embedded preview (camera raw files and most JPEGs carry one); null when
// there is none. Fast; call it on the GUI thread only (the metadata library
// is not safe to enter from two threads at once).
QImage embeddedPreview(const QString& filePath, const QSize& bound);

// A JPEG decoded at a reduced scale; null for other files. Takes a good part
// of a second for a large photo; safe on any thread.
QImage reducedJpeg(const QString& filePath, const QSize& bound);

// The embedded preview, else the reduced JPEG, read on a worker thread and
// handed to done on receiver's thread; nothing is handed over once receiver
// is gone. done gets a null image when the file has neither.
void readPreview(const QString& filePath, const QSize& bound, QObject* receiver,
                 std::function<void(const QImage&)> done);

// Waits until every preview being read on a worker thread has been read.
void waitForPreviews();

} // namespace view
