#pragma once

#include <QByteArray>
#include <QImage>
#include <QWidget>

namespace view {

// Shows a QR code as large as the widget allows, every module a whole number
// of device pixels, so the code stays sharp at any size and pixel density.
class QrCodeWidget : public QWidget {
    Q_OBJECT
public:
    explicit QrCodeWidget(QWidget* parent = nullptr);

    // The code of text, black on white with a quiet zone of four modules,
    // one pixel per module; a null image when the text cannot be encoded.
    static QImage codeImage(const QByteArray& text);
    // The code scaled to `moduleSize` pixels per module.
    static QPixmap codePixmap(const QByteArray& text, int moduleSize);

    void setText(const QByteArray& text);
    QByteArray text() const { return m_shown; }
    QSize sizeHint() const override { return QSize(240, 240); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QByteArray m_shown;
    QImage m_image;
};

} // namespace view
