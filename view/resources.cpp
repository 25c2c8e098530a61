#include "view/resources.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QLabel>
#include <QWidget>

#include "buildinfo.h"

// Q_INIT_RESOURCE must be used outside of any namespace.
static void initKestrelResources()
{
    Q_INIT_RESOURCE(kestrel);
}

namespace view {

void initResources()
{
    initKestrelResources();
}

QIcon applicationIcon()
{
    QIcon icon;
    // A folder name of its own: Marble's bundle has an "icons" folder too.
    const QDir folder(QStringLiteral(":/appicon"));
    for (const QString& name : folder.entryList(QDir::Files))
        icon.addFile(folder.filePath(name));
    return icon;
}

void setApplicationIdentity()
{
    QGuiApplication::setWindowIcon(applicationIcon());
    QGuiApplication::setDesktopFileName(QStringLiteral(KESTREL_APP_ID));
}

QStringList assetFileNames()
{
    return {
        QStringLiteral("errorSign.png"),       QStringLiteral("geotagIcon.png"),
        QStringLiteral("warningSign.png"),     QStringLiteral("deleteIcon.png"),
        QStringLiteral("geotagIcon2.png"),     QStringLiteral("cameraImage.png"),
        QStringLiteral("timeDateIconSmall.png"), QStringLiteral("cameraIconSmall.png"),
        QStringLiteral("settingsIcon.png"),    QStringLiteral("HelveticaNormal.ttf"),
        QStringLiteral("geotagIconSmall.png"), QStringLiteral("cameraIcon.png"),
        QStringLiteral("okSign.png"),          QStringLiteral("settingsIcon2.png"),
        QStringLiteral("howTo1.png"),          QStringLiteral("howTo2.png"),
        QStringLiteral("vintageClock.png"),    QStringLiteral("howTo3.png"),
        QStringLiteral("howTo4.png"),          QStringLiteral("HelveticaNeue.ttf"),
        QStringLiteral("cameraIconMedium.png"), QStringLiteral("infoSign.png"),
        QStringLiteral("synchronizationIconMedium.png"), QStringLiteral("browserImage.png"),
        QStringLiteral("questionSign.png"),
        QStringLiteral("serviceIconSmall.png"),
    };
}

std::optional<QString> installFont()
{
    const QString family = QStringLiteral("Helvetica Neue");
    const int id = QFontDatabase::addApplicationFont(QStringLiteral("://assets/HelveticaNeue.ttf"));
    // The bold face: without it bold labels would be smeared from the regular one.
    QFontDatabase::addApplicationFont(QStringLiteral("://assets/HelveticaNormal.ttf"));
    const QStringList families = QFontDatabase::applicationFontFamilies(id);
    if (families.isEmpty())
        return std::nullopt;
    const QString bundled = families.first();
    if (!QFontDatabase().families().contains(family, Qt::CaseInsensitive))
        QFont::insertSubstitution(family, bundled);
    return bundled;
}

QString styleSheetText()
{
    QFile file(QStringLiteral("://style.css"));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

static qreal ratioOf(const QWidget* widget)
{
    return widget ? widget->devicePixelRatioF() : qGuiApp->devicePixelRatio();
}

static QString doublePath(const QString& path)
{
    const int dot = path.lastIndexOf(QLatin1Char('.'));
    return path.left(dot) + QStringLiteral("@2x") + path.mid(dot);
}

QPixmap picture(const QString& path, const QWidget* widget)
{
    if (ratioOf(widget) > 1.0) {
        QPixmap sharp(doublePath(path));
        if (!sharp.isNull()) {
            sharp.setDevicePixelRatio(2.0);
            return sharp;
        }
    }
    return QPixmap(path);
}

QPixmap sharperPixmap(const QPixmap& pixmap, const QWidget* widget)
{
    if (pixmap.isNull() || pixmap.devicePixelRatio() > 1.0 || ratioOf(widget) <= 1.0)
        return pixmap;
    // Pixmaps loaded from the same file share their data through the pixmap
    // cache, so the cache key tells which picture of the bundle this is.
    for (const QString& name : assetFileNames()) {
        if (!name.endsWith(QLatin1String(".png")))
            continue;
        const QString path = QStringLiteral(":/assets/") + name;
        if (QPixmap(path).cacheKey() == pixmap.cacheKey())
            return picture(path, widget);
    }
    return pixmap;
}

void sharpenPictures(QWidget* root)
{
    if (ratioOf(root) <= 1.0)
        return;
    const QList<QLabel*> labels = root->findChildren<QLabel*>();
    for (QLabel* label : labels) {
        const QPixmap current = label->pixmap(Qt::ReturnByValue);
        if (!current.isNull())
            label->setPixmap(sharperPixmap(current, label));
    }
}

} // namespace view
