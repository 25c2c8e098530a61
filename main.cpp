#include <QApplication>
#include <QDir>
#include <QTextStream>
#include <QTimer>

#include <cstdio>

#include "controller/commandline.h"
#include "controller/maincontroller.h"
#include "controller/selftest.h"
#include "model/model.h"
#include "view/mainview.h"
#include "view/messageboxfactory.h"
#include "view/resources.h"
#include "view/settingsview.h"

int main(int argc, char* argv[])
{
    // The self-test, the version, the help and a wrong path need no window:
    // let them run on a machine without a display too (over ssh, in a
    // container). Qt's own options are still among these arguments.
    QStringList rawArguments;
    for (int i = 0; i < argc; ++i)
        rawArguments << QString::fromLocal8Bit(argv[i]);
    if (controller::CommandLine::windowless(rawArguments, QDir::currentPath())
        && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")
        && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    // Sharp pictures on high-density screens: scale the interface by the
    // screen's factor and use the double-size pictures of the bundle there.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    QApplication application(argc, argv);

    // Qt has taken its options out: the rest is ours.
    using controller::CommandLine;
    const CommandLine commandLine = CommandLine::parse(QCoreApplication::arguments(), QDir::currentPath());
    switch (commandLine.action()) {
    case CommandLine::SelfTest: {
        QTextStream out(stdout);
        controller::SelfTest(out).run();
        return 0;
    }
    case CommandLine::Version:
        QTextStream(stdout) << "kestrel " << model::Model::version() << '\n';
        return 0;
    case CommandLine::Help:
        QTextStream(stdout) << CommandLine::usage();
        return 0;
    case CommandLine::UsageError:
        QTextStream(stderr) << commandLine.error();
        return CommandLine::usageStatus;
    default:
        break;
    }

    // The pictures, fonts and style sheet live in the static core library.
    view::initResources();
    view::setApplicationIdentity();

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
    // The files or the folder of the command line, once the window is up.
    QTimer::singleShot(0, &controller, [&commandLine, &controller] { commandLine.handTo(controller); });

    view::installFont();

    application.setStyleSheet(view::styleSheetText());
    return application.exec();
}
