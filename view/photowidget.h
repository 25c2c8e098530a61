#pragma once

#include <QFrame>
#include <memory>

#include "model/model.h"

namespace Ui {
class PhotoWidget;
}

namespace view {

// One entry of the photo result list: file name with either the position or
// the failure title. A left click opens the photo's details.
class PhotoWidget : public QFrame {
    Q_OBJECT
public:
    explicit PhotoWidget(QWidget* parent = nullptr);
    ~PhotoWidget() override;

    void setPhoto(const model::PhotoGeotag& photo);
    const model::PhotoGeotag& photo() const { return m_record; }

protected:
    void enterEvent(QEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    std::unique_ptr<Ui::PhotoWidget> m_ui;
    model::PhotoGeotag m_record;
};

} // namespace view
