#include <QApplication>
#include <QTextStream>

#include <cstdio>

#include "controller/maincontroller.h"
#include "controller/selftest.h"
#include "model/model.h"
#include "view/mainview.h"
#include "view/messageboxfactory.h"
#include "view/resources.h"
#include "view/settingsview.h"

int main(int argc, char* argv[])
{
    // The self-test and the version need no window: let them run on a
    // machine without a display too (over ssh, in a container).
    const bool noWindow = argc > 1 && (qstrcmp(argv[1], "--test") == 0 || qstrcmp(argv[1], "--version") == 0);
    if (noWindow && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")
        && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    // Sharp pictures on high-density screens: scale the interface by the
    // screen's factor and use the double-size pictures of the bundle there.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    QApplication application(argc, argv);

    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() > 1 && arguments.at(1) == QLatin1String("--test")) {
        QTextStream out(stdout);
        controller::SelfTest(out).run();
        return 0;
    }
    if (arguments.size() > 1 && arguments.at(1) == QLatin1String("--version")) {
        QTextStream(stdout) << "kestrel " << model::Model::version() << '\n';
        return 0;
    }

    // The pictures, fonts and style sheet live in the static core library.
    view::initResources();

    // The long-lived objects, each wired to the controller right after it is
    // built. Being locals, they are destroyed in the reverse order: the
    // controller, which saves the settings file, goes last but one.
    controller::MainController controller;

    view::MainView mainView;
    mainView.connectController(controller);

    view::MessageBoxFactory messageBoxes;
    messageBoxes.connectController(controller);

    view::SettingsView settingsView;
    settingsView.connectController(controller);

    // Picks the first screen and shows the main window.
    controller.start();

    view::installFont();

    application.setStyleSheet(view::styleSheetText());
    return application.exec();
}
