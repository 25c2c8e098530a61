#pragma once

#include <QObject>
#include <QString>

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

public slots:
    // True when the user accepted the box.
    bool displayInfoBox(int code, QString title, QString text);
};

} // namespace view
