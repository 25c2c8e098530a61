#include "controller/launcher.h"

#include <QDeadlineTimer>
#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>
#include <QUrl>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <csignal>
#include <sys/types.h>
#endif

namespace controller {

qint64 Launcher::startDetached(const QString& program, const QStringList& arguments, const QString& logFile)
{
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setStandardOutputFile(logFile, QIODevice::Append);
    process.setStandardErrorFile(logFile, QIODevice::Append);
    qint64 pid = 0;
    return process.startDetached(&pid) ? pid : 0;
}

void Launcher::run(const QString& program, const QStringList& arguments, QObject* context, Done done)
{
    auto* process = new QProcess;
    process->setProcessChannelMode(QProcess::MergedChannels);
    const QPointer<QObject> receiver(context);
    // Called once: when the program ends, or when it cannot start.
    const auto finish = [process, receiver, done](bool succeeded, const QByteArray& output) {
        process->disconnect();
        process->deleteLater();
        if (receiver)
            done(succeeded, output);
    };
    QObject::connect(process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), process,
                     [process, finish](int code, QProcess::ExitStatus status) {
                         finish(status == QProcess::NormalExit && code == 0, process->readAll());
                     });
    QObject::connect(process, &QProcess::errorOccurred, process, [process, finish](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            finish(false, process->errorString().toUtf8());
    });
    process->start(program, arguments);
}

bool Launcher::stop(qint64 pid, const QString& program)
{
#ifdef Q_OS_LINUX
    // The id may have passed to another program since it was written down:
    // only a "serve" of this very program file (perhaps replaced by a newer
    // build since) is ended, so that it can be started again.
    QFile commandLine(QStringLiteral("/proc/%1/cmdline").arg(pid));
    QString running = QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid));
    running.remove(QRegularExpression(QStringLiteral(" \\(deleted\\)$")));
    if (pid <= 0 || running.isEmpty() || running != QFileInfo(program).canonicalFilePath()
        || !commandLine.open(QIODevice::ReadOnly) || commandLine.readAll().split('\0').value(1) != "serve"
        || ::kill(pid_t(pid), SIGTERM) != 0)
        return false;
    const QDeadlineTimer deadline(5000);
    while (!deadline.hasExpired()) {
        if (::kill(pid_t(pid), 0) != 0 && errno == ESRCH)
            return true;
        QThread::msleep(20);
    }
    return false;
#else
    Q_UNUSED(pid)
    Q_UNUSED(program)
    return false;
#endif
}

bool Launcher::openUrl(const QUrl& url)
{
    return QDesktopServices::openUrl(url);
}

} // namespace controller
