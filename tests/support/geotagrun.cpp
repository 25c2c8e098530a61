// A geotagging run in place over one folder, as the program makes it when the
// person picks the folder and starts, against the service at
// KESTREL_SERVICE_URL; for the tests that kill a run part way.
//
//   geotagrun FOLDER [RENAME_DELAY_MS]
//
// Prints "begun" once the run has started, "answered" once every photo has
// its answer (the new files then go in place and to the disk) and "ended"
// when the run is over. Exits with 0 when every photo was written, else 1,
// after naming the photos that were not. A rename delay makes every rename
// wait that long first, as on a slow disk, so that a kill is likely to land
// while the replacements go in place.

#include <QCoreApplication>

#include <cstdio>
#include <memory>

#include <fcntl.h>
#include <time.h>

#include "controller/maincontroller.h"
#include "model/model.h"

namespace {

long renameDelayMs = 0;

void say(const char* line)
{
    std::fputs(line, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace

// Takes the place of the C library's rename for the code linked in here.
extern "C" int rename(const char* from, const char* to) noexcept
{
    if (renameDelayMs > 0) {
        const timespec pause { renameDelayMs / 1000, renameDelayMs % 1000 * 1000000 };
        ::nanosleep(&pause, nullptr);
    }
    return ::renameat(AT_FDCWD, from, AT_FDCWD, to);
}

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() < 2 || arguments.size() > 3) {
        std::fputs("usage: geotagrun FOLDER [RENAME_DELAY_MS]\n", stderr);
        return 2;
    }
    renameDelayMs = arguments.value(2).toLong();

    auto state = std::make_shared<model::Model>();
    controller::MainController controller(state);
    state->rewrite = true;
    bool begun = false;
    bool answered = false;
    QObject::connect(&controller, &controller::MainController::geotagProgress,
                     [&begun, &answered](int processed, int, int total) {
                         if (begun && processed == total && !answered) {
                             say("answered");
                             answered = true;
                         } else if (!begun) {
                             say("begun");
                             begun = true;
                         }
                     });
    controller.geotagPhotos(arguments.at(1));
    controller.toNextScreen(); // returns when the run has ended
    say("ended");

    int unwritten = 0;
    for (const model::PhotoGeotag& result : state->photos) {
        if (result.success)
            continue;
        std::fprintf(stderr, "%s: %s: %s\n", qPrintable(result.filePath), qPrintable(result.errorTitle),
                     qPrintable(result.errorText));
        ++unwritten;
    }
    return begun && unwritten == 0 && !state->photos.isEmpty() ? 0 : 1;
}
