#pragma once

#include <QByteArray>
#include <QString>

namespace testsupport {

// Whole-file helpers for tests that compare exact bytes on disk.
QByteArray readFile(const QString& path);
bool writeFile(const QString& path, const QByteArray& bytes);

} // namespace testsupport
