#pragma once

#include <QApplication>
#include <QDropEvent>
#include <QMimeData>
#include <QStringList>
#include <QUrl>
#include <QWidget>

namespace testsupport {

// Local files as a drag from a file manager carries them.
inline void setFiles(QMimeData& data, const QStringList& paths)
{
    QList<QUrl> urls;
    for (const QString& path : paths)
        urls << QUrl::fromLocalFile(path);
    data.setUrls(urls);
}

// Drags local files onto a widget and drops them there as a user would;
// false when the widget refused them on entering.
inline bool dropFiles(QWidget* target, const QStringList& paths)
{
    QMimeData dropped;
    setFiles(dropped, paths);
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    QDropEvent drop(QPoint(5, 5), Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    return enter.isAccepted();
}

} // namespace testsupport
