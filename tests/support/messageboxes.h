#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <functional>

#include "controller/maincontroller.h"

namespace testsupport {

// Stands in for the message boxes: records every infoPending of a controller
// and answers it (true = OK) like a user would. The answer may run code while
// the "box" is open, as a nested event loop would.
class MessageBoxes : public QObject {
public:
    struct Message {
        int code = 0;
        QString title;
        QString text;
        QString said() const { return QString::number(code) + '|' + title + '|' + text; }
    };
    using Answerer = std::function<bool(const Message&)>;

    explicit MessageBoxes(controller::MainController& controller, QObject* parent = nullptr)
        : QObject(parent)
    {
        QObject::connect(&controller, &controller::MainController::infoPending, this,
                         [this](int code, QString title, QString text) {
                             const Message message { code, title, text };
                             shown.append(message);
                             return answerer ? answerer(message) : answer;
                         });
    }

    QList<Message> shown;
    bool answer = true;
    Answerer answerer;
};

} // namespace testsupport
