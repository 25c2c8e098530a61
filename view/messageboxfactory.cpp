#include "view/messageboxfactory.h"

#include "controller/maincontroller.h"
#include "view/messagebox.h"

namespace view {

MessageBoxFactory::MessageBoxFactory(QObject* parent)
    : QObject(parent)
{
}

void MessageBoxFactory::connectController(controller::MainController& controller)
{
    connect(&controller, &controller::MainController::infoPending, this, &MessageBoxFactory::displayInfoBox,
            Qt::DirectConnection);
}

bool MessageBoxFactory::displayInfoBox(int code, QString title, QString text)
{
    MessageBox box;
    box.setShownHandler(m_shownHandler);
    return box.display(code, title, text);
}

} // namespace view
