#include "view/droplabel.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMimeData>
#include <QUrl>

DropLabel::DropLabel(QWidget* parent)
    : QLabel(parent)
{
    setAcceptDrops(false);
}

void DropLabel::setAcceptDroppedFiles(bool accept)
{
    m_acceptDroppedFiles = accept;
    setAcceptDrops(m_acceptDroppedFiles || m_acceptDroppedFolders);
}

void DropLabel::setAcceptDroppedFolders(bool accept)
{
    m_acceptDroppedFolders = accept;
    setAcceptDrops(m_acceptDroppedFiles || m_acceptDroppedFolders);
}

void DropLabel::dragEnterEvent(QDragEnterEvent* event)
{
    const QList<QUrl> urls = event->mimeData()->urls();
    for (const QUrl& url : urls) {
        // Web links give an empty local path: neither a file nor a folder.
        const QFileInfo info(url.toLocalFile());
        if ((info.isFile() && m_acceptDroppedFiles) || (info.isDir() && m_acceptDroppedFolders)) {
            event->acceptProposedAction();
            return;
        }
    }
}

void DropLabel::dropEvent(QDropEvent* event)
{
    const QList<QUrl> urls = event->mimeData()->urls();
    for (const QUrl& url : urls) {
        const QString localPath = url.toLocalFile();
        if (localPath.isEmpty())
            continue;
        const QFileInfo info(localPath);
        if (info.isFile() && m_acceptDroppedFiles)
            emit fileDropped(info.absoluteFilePath());
        else if (info.isDir() && m_acceptDroppedFolders)
            emit folderDropped(info.absoluteFilePath());
    }
}
