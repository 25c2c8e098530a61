#pragma once

#include <QObject>
#include <QString>

#include "view/messagebox.h"

namespace controller {
class MainController;
}

namespace view {

// Shows one modal message box per message of the controller and hands the
// user's answer back as the result of the controller's signal.
class MessageBoxFactory : public QObject {
    Q_OBJECT
public:
    explicit MessageBoxFactory(QObject* parent = nullptr);

    // Connects the controller's infoPending to displayInfoBox (direct, so the
    // controller receives the answer).
    void connectController(controller::MainController& controller);

    // Test seam: the handler every box of this factory gets (see
    // MessageBox::setShownHandler).
    void setShownHandler(MessageBox::ShownHandler handler) { m_shownHandler = std::move(handler); }

public slots:
    // True when the user accepted the box.
    bool displayInfoBox(int code, QString title, QString text);

private:
    MessageBox::ShownHandler m_shownHandler;
};

} // namespace view
