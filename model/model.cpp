#include "model/model.h"

#include "buildinfo.h"

#include <QDataStream>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>
#include <QUrl>

#ifdef Q_OS_WIN
#include <windows.h>
#include <shlobj.h>
#endif


namespace model {

Model::Model(QObject* parent)
    : QObject(parent)
{
}

bool Model::load(QString filePath)
{
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QDataStream stream(&file);
    // A short file leaves the missing fields empty and false.
    QString id;
    bool rewriteFlag = false;
    bool modifyFlag = false;
    stream >> id >> rewriteFlag >> modifyFlag;
    userID = id;
    rewrite = rewriteFlag;
    modifyTimeDate = modifyFlag;
    return true;
}

bool Model::save(QString filePath)
{
    // Written to a temporary file beside the old one and renamed over it only
    // when complete, so a crash or a full disk never loses the user's ID.
    QSaveFile file(filePath);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QDataStream stream(&file);
    stream << userID << rewrite << modifyTimeDate;
    // commit() does not notice a write that fails when the buffer is flushed
    // at close, so flush first and check.
    if (stream.status() != QDataStream::Ok || !file.flush()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

void Model::loadPreferences(const QString& filePath)
{
    if (!QFileInfo(filePath).isFile())
        return;
    const QSettings settings(filePath, QSettings::IniFormat);
    includeSubfolders = settings.value(QStringLiteral("geotagging/includeSubfolders"), includeSubfolders).toBool();
    rawSidecars = settings.value(QStringLiteral("geotagging/rawSidecars"), rawSidecars).toBool();
    writePlaceNames = settings.value(QStringLiteral("geotagging/placeNames"), writePlaceNames).toBool();
    replacePlaceNames = settings.value(QStringLiteral("geotagging/replacePlaceNames"), replacePlaceNames).toBool();
    serviceOnNetwork = settings.value(QStringLiteral("service/network"), serviceOnNetwork).toBool();
    onlineMap = settings.value(QStringLiteral("map/theme")).toString() == QLatin1String("openstreetmap");
    // "x,y,width,height"; anything else leaves the window where the system puts it.
    // (QSettings reads the text as a list of four.)
    const QStringList numbers = settings.value(QStringLiteral("window/geometry")).toStringList();
    int values[4] = {};
    bool valid = numbers.size() == 4;
    for (int i = 0; valid && i < 4; ++i)
        values[i] = numbers.at(i).trimmed().toInt(&valid);
    if (valid && values[2] > 0 && values[3] > 0)
        windowGeometry = QRect(values[0], values[1], values[2], values[3]);
    windowMaximized = settings.value(QStringLiteral("window/maximized"), windowMaximized).toBool();
}

bool Model::savePreferences(const QString& filePath) const
{
    // Written as INI text that QSettings reads back; through QSaveFile, so a
    // full disk or a crash keeps the old file whole.
    const auto flag = [](bool value) { return value ? QByteArray("true") : QByteArray("false"); };
    QByteArray text = "[geotagging]\nincludeSubfolders=" + flag(includeSubfolders)
        + "\nrawSidecars=" + flag(rawSidecars) + "\nplaceNames=" + flag(writePlaceNames)
        + "\nreplacePlaceNames=" + flag(replacePlaceNames) + "\n[service]\nnetwork=" + flag(serviceOnNetwork)
        + "\n[map]\ntheme=" + (onlineMap ? "openstreetmap" : "offline") + "\n";
    if (windowGeometry.isValid())
        text += QStringLiteral("[window]\ngeometry=%1,%2,%3,%4\nmaximized=%5\n")
                    .arg(windowGeometry.x())
                    .arg(windowGeometry.y())
                    .arg(windowGeometry.width())
                    .arg(windowGeometry.height())
                    .arg(QLatin1String(flag(windowMaximized)))
                    .toUtf8();
    QSaveFile file(filePath);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.flush()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

QString Model::normalizedBaseUrl(const QString& url)
{
    const QUrl parsed(url, QUrl::StrictMode);
    const QString scheme = parsed.scheme().toLower();
    if (!parsed.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        || parsed.host().isEmpty() || parsed.hasQuery() || parsed.hasFragment())
        return QString();
    QString text = parsed.toString(QUrl::FullyEncoded);
    if (!text.endsWith(QLatin1Char('/')))
        text += QLatin1Char('/');
    return text;
}

QString Model::version()
{
    return QStringLiteral(KESTREL_VERSION);
}

QString Model::baseUrl()
{
    static const QString url = [] {
        const QString fromEnvironment = qEnvironmentVariable("KESTREL_SERVICE_URL");
        if (!fromEnvironment.isEmpty()) {
            const QString normalized = normalizedBaseUrl(fromEnvironment);
            if (!normalized.isNull())
                return normalized;
            qWarning().noquote() << "KESTREL_SERVICE_URL is not an http or https URL, ignored:"
                                 << fromEnvironment;
        }
        return QStringLiteral(KESTREL_DEFAULT_SERVICE_URL);
    }();
    return url;
}

QString Model::configFilePath()
{
    static const QString folder = [] {
#ifdef Q_OS_WIN
        char path[MAX_PATH] = "";
        SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, 0, path);
        QString text = QString::fromLocal8Bit(path) + QStringLiteral("/KESTREL");
        CreateDirectoryA(text.toLocal8Bit().constData(), nullptr);
        return text + QLatin1Char('/');
#else
        const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
        const QString text = base + QStringLiteral("/KESTREL");
        QDir().mkpath(text);
        return text + QLatin1Char('/');
#endif
    }();
    return folder + QStringLiteral("config.dat");
}

QString Model::preferencesFilePath()
{
    return QFileInfo(configFilePath()).absolutePath() + QStringLiteral("/settings.ini");
}

QString PhotoGeotag::summary() const
{
    QStringList notes;
    if (success && demo)
        notes << demoNote();
    if (success && placed())
        notes << originNote(origin);
    if (success && !sidecarPath.isEmpty())
        notes << QStringLiteral("GPS written to ") + QFileInfo(sidecarPath).fileName();
    const QString note = success ? notes.join(QStringLiteral("; ")) : errorCause;
    if (note.isEmpty() || errorTitle.isEmpty())
        return errorTitle + note;
    return errorTitle + (success ? QStringLiteral("; ") : QStringLiteral(": ")) + note;
}

bool Place::isEmpty() const
{
    return city.isEmpty() && sublocation.isEmpty() && region.isEmpty() && country.isEmpty() && countryCode.isEmpty();
}

QString Place::text() const
{
    QStringList parts;
    for (const QString* part : { &sublocation, &city, &country })
        if (!part->isEmpty())
            parts << *part;
    return parts.join(QStringLiteral(", "));
}

QString PhotoGeotag::demoNote()
{
    return QStringLiteral("Demo position");
}

QString PhotoGeotag::originNote(Origin origin)
{
    switch (origin) {
    case Origin::Hand:
        return QStringLiteral("Placed by hand");
    case Origin::Track:
        return QStringLiteral("Placed on the track at its corrected time");
    case Origin::Service:
        break;
    }
    return QString();
}

QString PhotoGeotag::metresText(double metres)
{
    return QString::number(metres, 'f', 1) + QStringLiteral(" m");
}

QStringList cameraDrifts(const PhotoGeotagList& photos)
{
    QStringList cameras;
    QStringList lines;
    for (const PhotoGeotag& photo : photos) {
        const ClockOffset& clock = photo.clock;
        if (clock.camera.isEmpty() || clock.drift.isEmpty() || cameras.contains(clock.camera))
            continue;
        cameras << clock.camera;
        lines << clock.camera + QLatin1Char(' ') + clock.drift + QLatin1Char('.');
    }
    return lines;
}

QStringList Model::photoFilePatterns()
{
    static const QStringList patterns {
        "*.jpg", "*.jpeg", "*.png", "*.bmp", "*.tif", "*.tiff", "*.crw", "*.cr2", "*.nef",
        "*.nrw", "*.pef", "*.ptx", "*.raf", "*.raw", "*.rw2", "*.rwl", "*.dng",
        "*.srw", "*.x3f", "*.3fr", "*.arw", "*.dcr", "*.erf", "*.kdc", "*.mdc",
        "*.mef", "*.mos", "*.mrw", "*.orf", "*.ppm", "*.sr2", "*.srf", "*.x3f",
        "*.heic", "*.heif", "*.hif", "*.avif", "*.cr3",
    };
    return patterns;
}

QStringList Model::rawUnsupportedMakes()
{
    static const QStringList makes { "sony", "hasselblad", "leica", "olympus" };
    return makes;
}

QStringList Model::nonRawSuffixes()
{
    static const QStringList suffixes { "jpg", "jpeg", "png", "bmp", "tif", "tiff" };
    return suffixes;
}

int Model::maxPendingRequests()
{
    return 5;
}

int Model::requestAttempts()
{
    return 3;
}

} // namespace model
