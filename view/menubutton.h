#pragma once

#include <QFrame>
#include <QPixmap>
#include <QString>
#include <memory>

namespace Ui {
class MenuButton;
}

namespace view {

// A large button of the main window's menu: a picture beside a rich text.
class MenuButton : public QFrame {
    Q_OBJECT
    Q_PROPERTY(QString text READ text WRITE setText)
    Q_PROPERTY(QPixmap pixmap READ pixmap WRITE setPixmap)
public:
    explicit MenuButton(QWidget* parent = nullptr);
    ~MenuButton() override;

    QString text() const;
    void setText(const QString& text);
    QPixmap pixmap() const;
    void setPixmap(const QPixmap& pixmap);

signals:
    void clicked();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    std::unique_ptr<Ui::MenuButton> m_ui;
};

} // namespace view
