#pragma once

#include <QFrame>
#include <memory>

#include "model/model.h"

namespace Ui {
class CameraWidget;
}

namespace view {

// One camera of the settings dialog's camera list. Clicking an entry selects
// it and shows its remove button; only one entry shows its button at a time.
class CameraWidget : public QFrame {
    Q_OBJECT
public:
    explicit CameraWidget(QWidget* parent = nullptr);
    ~CameraWidget() override;

    void setCamera(const model::Camera& camera);

    // The entry whose remove button is shown, if any.
    static CameraWidget* selectedCameraWidget;

signals:
    void removeClicked(model::Camera& camera);

private slots:
    void on_removeButton_clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void select();

    std::unique_ptr<Ui::CameraWidget> ui;
    model::Camera camera;
};

} // namespace view
