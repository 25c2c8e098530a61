#pragma once

#include <QWidget>

namespace view {

// A plain widget that reports left clicks (released over it).
class ClickWidget : public QWidget {
    Q_OBJECT
public:
    explicit ClickWidget(QWidget* parent = nullptr);

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    // Lets the style sheet draw a background on this plain QWidget subclass.
    void paintEvent(QPaintEvent* event) override;
};

} // namespace view
