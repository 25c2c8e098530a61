#include "view/droplabel.h"

#include <QCursor>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMimeData>
#include <QStyle>
#include <QTimer>
#include <QUrl>

namespace view {

DropLabel::DropLabel(QWidget* parent)
    : QLabel(parent)
{
    setAcceptDrops(false);
    m_leaveCheck = new QTimer(this);
    m_leaveCheck->setInterval(250);
    connect(m_leaveCheck, &QTimer::timeout, this, [this] {
        if (!isVisible() || !rect().contains(mapFromGlobal(QCursor::pos())))
            setDropState("");
    });
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

bool DropLabel::qualifies(const QString& localPath) const
{
    // Web links give an empty local path: neither a file nor a folder.
    if (localPath.isEmpty())
        return false;
    const QFileInfo info(localPath);
    if (info.isDir())
        return m_acceptDroppedFolders;
    return info.isFile() && m_acceptDroppedFiles
        && (m_fileFilters.isEmpty() || QDir::match(m_fileFilters, info.fileName()));
}

bool DropLabel::wouldAccept(const QMimeData* data) const
{
    const QList<QUrl> urls = data ? data->urls() : QList<QUrl>();
    if (m_singleItem && urls.size() != 1)
        return false;
    for (const QUrl& url : urls) {
        if (qualifies(url.toLocalFile()))
            return true;
    }
    return false;
}

void DropLabel::setDropState(const char* state)
{
    if (property("dropState").toByteArray() == state)
        return;
    setProperty("dropState", QByteArray(state));
    if (*state)
        m_leaveCheck->start();
    else
        m_leaveCheck->stop();
    // Property selectors of the style sheet are matched at polish time only.
    style()->unpolish(this);
    style()->polish(this);
    update();
    emit dropStateChanged(QString::fromLatin1(state));
}

void DropLabel::dragEnterEvent(QDragEnterEvent* event)
{
    // A refused drag still lights the label, in the refusing colour: the
    // user sees where it would have to go and that this is not it.
    if (wouldAccept(event->mimeData())) {
        setDropState("accepted");
        event->acceptProposedAction();
    } else {
        setDropState("refused");
    }
}

void DropLabel::dragLeaveEvent(QDragLeaveEvent*)
{
    setDropState("");
}

void DropLabel::dropEvent(QDropEvent* event)
{
    setDropState("");
    if (!wouldAccept(event->mimeData()))
        return;
    const QList<QUrl> urls = event->mimeData()->urls();
    for (const QUrl& url : urls) {
        const QString localPath = url.toLocalFile();
        if (!qualifies(localPath))
            continue;
        const QFileInfo info(localPath);
        if (info.isFile())
            emit fileDropped(info.absoluteFilePath());
        else
            emit folderDropped(info.absoluteFilePath());
    }
    event->acceptProposedAction();
}

} // namespace view
