#pragma once

#include <QString>
#include <QStringList>

namespace controller {

class MainController;

// What the arguments of the desktop program ask for: `kestrel`, `kestrel
// FILE...` (track files to import), `kestrel FOLDER` (photos to geotag), the
// help, the version or the self-test. Qt's own options are gone by then.
class CommandLine {
public:
    enum Action { Window, ImportTracks, GeotagFolder, Help, Version, SelfTest, UsageError };
    // The exit status of a usage error.
    static constexpr int usageStatus = 2;

    // Reads arguments (the program's name first); relative paths are taken
    // from workingDirectory.
    static CommandLine parse(const QStringList& arguments, const QString& workingDirectory);
    // True when the arguments surely need no window (help, version,
    // self-test, a wrong path), before Qt has taken its options out.
    static bool windowless(const QStringList& arguments, const QString& workingDirectory);
    // The text of --help.
    static QString usage();

    Action action() const { return m_action; }
    // The absolute paths of the files or of the folder.
    QStringList paths() const { return m_paths; }
    // The message of a usage error, for standard error (ends in a newline).
    QString error() const { return m_error; }
    // Hands the files or the folder to the controller as if the user had
    // chosen them in the window; nothing for the other actions.
    void handTo(MainController& controller) const;

private:
    // A usage error with message; qtOption when the option is one that Qt
    // takes out of the arguments, so no error once Qt has read them.
    static CommandLine failure(const QString& message, bool qtOption = false);
    // Reads one path or file:// URL into m_paths; false with the error set.
    bool addPath(const QString& argument, const QString& workingDirectory);
    // Tells the action from the paths read; false with the error set.
    bool classifyPaths();

    Action m_action = Window;
    QStringList m_paths;
    QString m_error;
    bool m_qtOption = false;
};

} // namespace controller
