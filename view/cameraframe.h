#pragma once

#include <QFrame>
#include <memory>

#include "model/model.h"

namespace Ui {
class CameraFrame;
}

namespace view {

// One camera of the main window's synchronization page: its name, serial,
// how far its clock drifts when known and the times of its synchronizations.
class CameraFrame : public QFrame {
    Q_OBJECT
public:
    explicit CameraFrame(QWidget* parent = nullptr);
    ~CameraFrame() override;

    void setCamera(const model::Camera& camera);

private:
    std::unique_ptr<Ui::CameraFrame> m_ui;
};

} // namespace view
