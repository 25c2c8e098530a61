#include "view/synccodeview.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QLabel>
#include <QMimeData>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

#include "json/jsonvalue.h"
#include "view/qrcodewidget.h"

namespace view {

namespace {

// How often the code is redrawn with its new age.
constexpr int tickMs = 200;
// A new code is asked for this long before the shown one expires.
constexpr qint64 renewMarginMs = 60 * 1000;
// How long to wait after a failed request before the next one.
constexpr qint64 retryMs = 5000;

} // namespace

SyncCodeView::SyncCodeView(QWidget* parent)
    : QWidget(parent, Qt::Window)
    , m_code(new QrCodeWidget(this))
    , m_status(new QLabel(this))
    , m_ticker(new QTimer(this))
{
    setWindowTitle(tr("Synchronization code"));
    setObjectName(QStringLiteral("SyncCodeView"));
    setAcceptDrops(true);
    // White around the code: the quiet zone must stand out from the frame.
    setStyleSheet(QStringLiteral("#SyncCodeView { background: white; } QLabel { color: black; font-size: 16pt; }"));
    setAttribute(Qt::WA_StyledBackground, true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 24, 24, 24);
    layout->addWidget(m_code, 1);
    auto* line = new QLabel(tr("Photograph this code with the camera you want to synchronize, then drop that photo here"),
                            this);
    line->setWordWrap(true);
    line->setAlignment(Qt::AlignCenter);
    layout->addWidget(line);
    m_status->setAlignment(Qt::AlignCenter);
    m_status->setWordWrap(true);
    layout->addWidget(m_status);
    resize(560, 640);
    m_ticker->setInterval(tickMs);
    connect(m_ticker, &QTimer::timeout, this, &SyncCodeView::refresh);
}

QByteArray SyncCodeView::payload() const
{
    if (m_syncId.isEmpty())
        return QByteArray();
    JsonValue value;
    value["syncID"] = m_syncId.toUtf8().toStdString();
    value["elapsedTime"] = JsonValue(static_cast<long long>(m_elapsedAtReceipt + m_received.elapsed()));
    return QByteArray::fromStdString(value.serialize());
}

void SyncCodeView::setCode(QString id, qint64 elapsedMs, qint64 validForMs, QString problem)
{
    m_asked = false;
    m_syncId = id;
    m_elapsedAtReceipt = elapsedMs;
    m_validFor = validForMs;
    m_received.start();
    m_status->setText(problem);
    refresh();
}

void SyncCodeView::refresh()
{
    // Asked for at the first showing, before the shown code expires and, after
    // a failure, again a few seconds later rather than on every tick.
    const qint64 age = m_received.isValid() ? m_received.elapsed() : 0;
    const bool due = !m_received.isValid()
        || (m_syncId.isEmpty() ? age >= retryMs : age >= m_validFor - std::min(renewMarginMs, m_validFor / 2));
    if (due && !m_asked && isVisible()) {
        m_asked = true;
        emit codeWanted();
    }
    m_code->setText(m_syncId.isEmpty() || age >= m_validFor ? QByteArray() : payload());
}

void SyncCodeView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    m_ticker->start();
    refresh();
}

void SyncCodeView::hideEvent(QHideEvent* event)
{
    m_ticker->stop();
    QWidget::hideEvent(event);
}

void SyncCodeView::dragEnterEvent(QDragEnterEvent* event)
{
    const QList<QUrl> urls = event->mimeData()->urls();
    if (!urls.isEmpty() && urls.first().isLocalFile() && QFileInfo(urls.first().toLocalFile()).isFile())
        event->acceptProposedAction();
}

void SyncCodeView::dropEvent(QDropEvent* event)
{
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.isEmpty() || !urls.first().isLocalFile())
        return;
    event->acceptProposedAction();
    emit fileDropped(QFileInfo(urls.first().toLocalFile()).absoluteFilePath());
}

} // namespace view
