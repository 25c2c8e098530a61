#pragma once

#include <QFrame>
#include <memory>

#include "model/model.h"

namespace Ui {
class CameraWidget;
}

namespace view {

// One camera of the settings dialog's camera list. Clicking an entry, or
// moving the focus to it, selects it: it shows its remove button and says so
// through selected(). The list keeps which entry is selected and hides the
// button of the one selected before.
class CameraWidget : public QFrame {
    Q_OBJECT
public:
    explicit CameraWidget(QWidget* parent = nullptr);
    ~CameraWidget() override;

    void setCamera(const model::Camera& camera);
    // Shows or hides the remove button.
    void setSelected(bool selected);

signals:
    void removeClicked(model::Camera& camera);
    void selected(view::CameraWidget* entry);

private slots:
    void on_removeButton_clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void select();

    std::unique_ptr<Ui::CameraWidget> m_ui;
    model::Camera m_camera;
};

} // namespace view
