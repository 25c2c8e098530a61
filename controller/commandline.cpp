#include "controller/commandline.h"

#include <QDir>
#include <QFileInfo>
#include <QUrl>

#include "controller/maincontroller.h"
#include "model/model.h"

namespace controller {

namespace {

QString quoted(const QString& text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

// The options QApplication takes out of the arguments (without their
// leading dashes): before it has, one of them is no usage error.
bool isQtOption(QString argument)
{
    static const QStringList names = { "platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry",
                                       "geometry", "qwindowtitle", "title", "qwindowicon", "icon", "reverse",
                                       "session", "display", "name", "style", "stylesheet", "widgetcount", "nograb",
                                       "dograb", "visual", "qmljsdebugger", "testability" };
    while (argument.startsWith(QLatin1Char('-')))
        argument.remove(0, 1);
    return names.contains(argument.section(QLatin1Char('='), 0, 0));
}

} // namespace

CommandLine CommandLine::failure(const QString& message, bool qtOption)
{
    CommandLine line;
    line.m_action = UsageError;
    line.m_error = QStringLiteral("kestrel: ") + message + QLatin1Char('\n');
    line.m_qtOption = qtOption;
    return line;
}

CommandLine CommandLine::parse(const QStringList& arguments, const QString& workingDirectory)
{
    CommandLine line;
    // The two that need no window stay where they always were: first, and
    // what follows them is not looked at.
    const QString first = arguments.value(1);
    if (first == QLatin1String("--version") || first == QLatin1String("--test")) {
        line.m_action = first == QLatin1String("--version") ? Version : SelfTest;
        return line;
    }
    QStringList names;
    bool options = true;
    for (int i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments.at(i);
        if (options && argument == QLatin1String("--")) {
            options = false;
        } else if (options && (argument == QLatin1String("--help") || argument == QLatin1String("-h"))) {
            line.m_action = Help;
            return line;
        } else if (options && (argument == QLatin1String("--version") || argument == QLatin1String("--test"))) {
            return failure(argument + QStringLiteral(" goes alone, as the first argument"));
        } else if (options && argument.size() > 1 && argument.startsWith(QLatin1Char('-'))) {
            return failure(QStringLiteral("unknown option %1\nRun \"kestrel --help\" for help.").arg(argument), isQtOption(argument));
        } else {
            names << argument;
        }
    }
    for (const QString& name : names) {
        if (!line.addPath(name, workingDirectory))
            return failure(line.m_error);
    }
    if (!line.classifyPaths())
        return failure(line.m_error);
    return line;
}

bool CommandLine::addPath(const QString& argument, const QString& workingDirectory)
{
    // Desktop environments hand over paths or file:// URLs.
    const bool url = argument.startsWith(QLatin1String("file:"), Qt::CaseInsensitive);
    const QString path = url ? QUrl(argument).toLocalFile() : argument;
    const QFileInfo info(QDir(workingDirectory), path);
    if (path.isEmpty() || !info.exists()) {
        m_error = QStringLiteral("no such file or folder: %1").arg(quoted(argument));
        return false;
    }
    if (!info.isFile() && !info.isDir()) {
        m_error = QStringLiteral("%1 is neither a file nor a folder").arg(quoted(argument));
        return false;
    }
    m_paths << QDir::cleanPath(info.absoluteFilePath());
    return true;
}

bool CommandLine::classifyPaths()
{
    if (m_paths.isEmpty()) {
        m_action = Window;
        return true;
    }
    QStringList folders;
    QStringList files;
    for (const QString& path : qAsConst(m_paths))
        (QFileInfo(path).isDir() ? folders : files) << path;
    if (folders.size() > 1) {
        m_error = QStringLiteral("one folder at a time: %1 and %2 are both folders")
                      .arg(quoted(folders.at(0)), quoted(folders.at(1)));
        return false;
    }
    if (!folders.isEmpty() && !files.isEmpty()) {
        m_error = QStringLiteral("either track files or one folder of photos: %1 is a folder, %2 a file")
                      .arg(quoted(folders.first()), quoted(files.first()));
        return false;
    }
    m_action = folders.isEmpty() ? ImportTracks : GeotagFolder;
    return true;
}

bool CommandLine::windowless(const QStringList& arguments, const QString& workingDirectory)
{
    const CommandLine line = parse(arguments, workingDirectory);
    switch (line.m_action) {
    case Help:
    case Version:
    case SelfTest:
        return true;
    case UsageError:
        return !line.m_qtOption;
    default:
        return false;
    }
}

QString CommandLine::usage()
{
    return QStringLiteral(
               "Usage: kestrel [FILE...]\n"
               "       kestrel FOLDER\n"
               "       kestrel --help | --version | --test\n"
               "\n"
               "Kestrel geotags photos with the positions your phone recorded, once it knows from a photo\n"
               "of a synchronization code how far off the camera's clock is.\n"
               "\n"
               "  FILE...     track files to import into the web service once the window is up: GPX, KML,\n"
               "              KMZ, GeoJSON, NMEA, CSV or Google Takeout JSON\n"
               "  FOLDER      a folder of photos: opens the geotagging page with it\n"
               "  -h, --help  this help\n"
               "  --version   the version\n"
               "  --test      checks the settings file, the photo and QR code readers and the web service\n"
               "  --          the end of the options: what follows are files or a folder\n"
               "\n"
               "Files and folders are paths or file:// URLs. Qt's own options are taken as well.\n"
               "The web service: %1 (set KESTREL_SERVICE_URL for another).\n")
        .arg(model::Model::baseUrl());
}

void CommandLine::handTo(MainController& controller) const
{
    if (m_action == ImportTracks) {
        controller.importTracksOnceServiceAnswers(m_paths);
    } else if (m_action == GeotagFolder) {
        // As a folder dropped on the geotagging page.
        controller.toGeotagPhotos();
        controller.geotagPhotos(m_paths.first());
    }
}

} // namespace controller
