#include "view/synccodeview.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QMimeData>
#include <QScreen>
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
// The narrowest the window is made to fit beside the main window.
constexpr int narrowestWidth = 320;

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
    m_line = new QLabel(this);
    m_line->setObjectName(QStringLiteral("codeInstructions"));
    m_line->setWordWrap(true);
    m_line->setAlignment(Qt::AlignCenter);
    m_line->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(m_line);
    m_status->setAlignment(Qt::AlignCenter);
    m_status->setWordWrap(true);
    layout->addWidget(m_status);
    resize(560, 640);
    m_ticker->setInterval(tickMs);
    connect(m_ticker, &QTimer::timeout, this, &SyncCodeView::refresh);
    refresh();
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

void SyncCodeView::setCode(QString id, qint64 elapsedMs, qint64 validForMs, QString problem, bool unlinked)
{
    // How to link needs the phone page's address: asked for once it is shown.
    if (unlinked && id.isEmpty() && !m_unlinked)
        emit statusWanted();
    m_unlinked = unlinked && id.isEmpty();
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
    if (!m_unlinked) {
        m_line->setText(tr("Photograph this code with the camera you want to synchronize, then drop that photo here"));
        m_code->setText(m_syncId.isEmpty() || age >= m_validFor ? QByteArray() : payload());
        m_code->show();
        return;
    }
    // Never a loopback address as one for the phone: no phone reaches it.
    const bool reachable = m_service.answers && m_service.phoneCanReach();
    QString text = tr("This computer is not linked to a phone yet.");
    if (reachable)
        text += QLatin1Char('\n')
            + tr("Open the phone page on your phone:\n%1\nPhotograph the code the phone shows with the camera you "
                 "want to synchronize, then drop that photo here.")
                  .arg(m_service.phonePageUrl());
    else if (m_service.answers)
        text += QLatin1Char('\n') + m_service.unreachableText();
    m_line->setText(text);
    m_code->setText(reachable ? m_service.phonePageUrl().toUtf8() : QByteArray());
    m_code->setVisible(reachable);
}

void SyncCodeView::setServiceStatus(const controller::ServiceStatus& status)
{
    m_service = status;
    refresh();
}

QRect SyncCodeView::besideRect(const QRect& mainFrame, const QSize& size, const QRect& screen)
{
    int width = std::min(size.width(), screen.width());
    const int height = std::min(size.height(), screen.height());
    const int right = screen.right() - mainFrame.right();
    const int left = mainFrame.left() - screen.left();
    int x = mainFrame.right() + 1;
    if (right < width && left >= width) {
        x = mainFrame.left() - width;
    } else if (right < width) {
        // Narrower where that makes it fit, but not too narrow for the code.
        width = std::max(std::max(left, right), std::min(narrowestWidth, width));
        x = right >= left ? screen.right() + 1 - width : screen.left();
    }
    const int y = std::max(screen.top(), std::min(mainFrame.top(), screen.bottom() + 1 - height));
    return QRect(x, y, width, height);
}

void SyncCodeView::placeBesideMainWindow()
{
    QWidget* main = parentWidget() ? parentWidget()->window() : nullptr;
    if (!main || !main->isVisible() || !main->screen())
        return;
    // The frame this window will have, judged by the main window's.
    const QSize frame = main->frameGeometry().size() - main->geometry().size();
    const QRect placed = besideRect(main->frameGeometry(), size() + frame, main->screen()->availableGeometry());
    resize(placed.size() - frame);
    move(placed.topLeft());
}

void SyncCodeView::setVisible(bool visible)
{
    if (visible && !isVisible())
        placeBesideMainWindow();
    QWidget::setVisible(visible);
}

void SyncCodeView::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape)
        close();
    else
        QWidget::keyPressEvent(event);
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
