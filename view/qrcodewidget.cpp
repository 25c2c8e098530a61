#include "view/qrcodewidget.h"

#include <QPainter>
#include <QPixmap>

#include <cmath>
#include <qrencode.h>

namespace view {

namespace {

constexpr int quietZone = 4;

} // namespace

QrCodeWidget::QrCodeWidget(QWidget* parent) : QWidget(parent)
{
    setMinimumSize(120, 120);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

QImage QrCodeWidget::codeImage(const QByteArray& text)
{
    QRcode* code = QRcode_encodeString8bit(text.constData(), 0, QR_ECLEVEL_M);
    if (!code)
        return QImage();
    const int side = code->width + 2 * quietZone;
    QImage image(side, side, QImage::Format_Grayscale8);
    image.fill(255);
    for (int y = 0; y < code->width; ++y) {
        uchar* line = image.scanLine(y + quietZone) + quietZone;
        for (int x = 0; x < code->width; ++x)
            line[x] = (code->data[y * code->width + x] & 1) ? 0 : 255;
    }
    QRcode_free(code);
    return image;
}

QPixmap QrCodeWidget::codePixmap(const QByteArray& text, int moduleSize)
{
    const QImage image = codeImage(text);
    if (image.isNull())
        return QPixmap();
    return QPixmap::fromImage(image.scaled(image.size() * moduleSize, Qt::KeepAspectRatio, Qt::FastTransformation));
}

void QrCodeWidget::setText(const QByteArray& text)
{
    if (text == m_shown)
        return;
    m_shown = text;
    m_image = text.isEmpty() ? QImage() : codeImage(text);
    update();
}

void QrCodeWidget::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
    if (m_image.isNull())
        return;
    // Whole device pixels per module: a fractional scale would blur the
    // module edges that the camera has to find.
    const qreal ratio = devicePixelRatioF();
    const int available = int(std::floor(std::min(width(), height()) * ratio));
    const int module = std::max(1, available / m_image.width());
    const qreal side = m_image.width() * module / ratio;
    const QRectF target((width() - side) / 2, (height() - side) / 2, side, side);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    painter.drawImage(target, m_image);
}

} // namespace view
