#include "controller/serviceinstall.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>

#include "buildinfo.h"

namespace controller {

namespace {

// The comment above the line Kestrel writes; found again and not repeated.
const QByteArray optionsComment = "# Kestrel writes the next line when it starts the web service; other lines stay.";

QString tr(const char* text)
{
    return QCoreApplication::translate("ServiceInstall", text);
}

} // namespace

ServiceInstall::ServiceInstall()
    : ServiceInstall(QCoreApplication::applicationDirPath(), QStringLiteral(KESTREL_INSTALL_BINDIR),
                     QStringLiteral(KESTREL_USER_UNIT_FILE))
{
}

ServiceInstall::ServiceInstall(QString programFolder, QString installFolder, QString unitFile)
    : m_programFolder(std::move(programFolder))
    , m_installFolder(std::move(installFolder))
    , m_unitFile(std::move(unitFile))
{
}

bool ServiceInstall::installed() const
{
    // Compared as the folders they are: /bin may be a link to /usr/bin.
    const QString folder = QFileInfo(m_programFolder).canonicalFilePath();
    return !folder.isEmpty() && folder == QFileInfo(m_installFolder).canonicalFilePath();
}

bool ServiceInstall::usesUserUnit() const
{
    return installed() && QFileInfo(m_unitFile).isFile();
}

QString ServiceInstall::serviceProgram() const
{
    return QDir(m_programFolder).filePath(QStringLiteral("kestrel-service"));
}

QString ServiceInstall::startCommand(bool network) const
{
    if (usesUserUnit())
        return QStringLiteral("systemctl --user start kestrel-service");
    if (installed())
        return network ? QStringLiteral("kestrel-service serve --address 0.0.0.0")
                       : QStringLiteral("kestrel-service serve");
    return network ? QStringLiteral("scripts/start-service.sh --network") : QStringLiteral("scripts/start-service.sh");
}

QString ServiceInstall::optionsFile()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/kestrel/kestrel-service.conf");
}

bool ServiceInstall::writeServeOptions(const QString& options, QString* error)
{
    const QString path = optionsFile();
    QFile old(path);
    QByteArray text;
    if (old.exists()) {
        if (old.size() > maxOptionsFileBytes) {
            *error = tr("%1 is larger than %2 KB; Kestrel leaves it alone.").arg(path).arg(maxOptionsFileBytes >> 10);
            return false;
        }
        if (!old.open(QIODevice::ReadOnly)) {
            *error = tr("%1 cannot be read: %2").arg(path, old.errorString());
            return false;
        }
        text = old.read(maxOptionsFileBytes);
    }
    // Every line but the one Kestrel writes and its comment, in order.
    const QRegularExpression ours(QStringLiteral("^\\s*%1\\s*=").arg(QLatin1String(optionsVariable)));
    QByteArray kept;
    for (const QByteArray& line : text.split('\n')) {
        if (line.trimmed() != optionsComment && !ours.match(QString::fromUtf8(line)).hasMatch())
            kept += line + '\n';
    }
    while (kept.endsWith("\n\n") || kept == "\n")
        kept.chop(1);
    kept += optionsComment + '\n' + optionsVariable + '=' + options.toUtf8() + '\n';

    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(kept) != kept.size() || !file.commit()) {
        *error = tr("%1 cannot be written: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

} // namespace controller
