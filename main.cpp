#include <QApplication>
#include <QTextStream>

#include <cstdio>

#include "controller/maincontroller.h"
#include "controller/selftest.h"

int main(int argc, char* argv[])
{
    // The self-test needs no window: let it run on a machine without a
    // display too (over ssh, in a container).
    const bool selfTest = argc > 1 && qstrcmp(argv[1], "--test") == 0;
    if (selfTest && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")
        && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    QApplication application(argc, argv);

    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() > 1 && arguments.at(1) == QLatin1String("--test")) {
        QTextStream out(stdout);
        controller::SelfTest(out).run();
        return 0;
    }

    controller::MainController controller;
    controller.start();

    return application.exec();
}
