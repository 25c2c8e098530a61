#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <functional>

class QObject;
class QUrl;

namespace controller {

// What the controller starts outside itself: the web service program and the
// user's browser. Tests put in their own to see what would be started
// without starting it.
class Launcher {
public:
    // Whether a run ended with exit code 0, and its output (standard output
    // and error), or why it did not start.
    using Done = std::function<void(bool succeeded, QByteArray output)>;

    virtual ~Launcher() = default;
    // Starts program in the background, its output appended to logFile; the
    // process id, or 0 when it did not start.
    virtual qint64 startDetached(const QString& program, const QStringList& arguments, const QString& logFile);
    // Runs program to its end without waiting here; done is called with the
    // outcome unless context is gone by then.
    virtual void run(const QString& program, const QStringList& arguments, QObject* context, Done done);
    // Ends the process pid when it is a running "serve" of program and waits
    // (a few seconds at most) until it is gone; false when it is no such
    // process or did not end.
    virtual bool stop(qint64 pid, const QString& program);
    // Opens url in the user's browser; false when no browser took it.
    virtual bool openUrl(const QUrl& url);
};

} // namespace controller
