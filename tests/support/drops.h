#pragma once

#include <QApplication>
#include <QDropEvent>
#include <QMimeData>
#include <QStringList>
#include <QUrl>

namespace testsupport {

// Drags local files onto a widget and drops them there as a user would;
// false when the widget refused them on entering.
inline bool dropFiles(QWidget* target, const QStringList& paths)
{
    QMimeData dropped;
    QList<QUrl> urls;
    for (const QString& path : paths)
        urls << QUrl::fromLocalFile(path);
    dropped.setUrls(urls);
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    QDropEvent drop(QPoint(5, 5), Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    return enter.isAccepted();
}

} // namespace testsupport
