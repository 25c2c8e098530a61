#include <QtTest>

#include <QApplication>
#include <QDir>
#include <QFontInfo>
#include <QImage>
#include <QLabel>

#include "model/model.h"
#include "support/widgets.h"
#include "view/cameraframe.h"
#include "view/menubutton.h"
#include "view/messagebox.h"
#include "view/resources.h"
#include "view/settingsview.h"

// The resource bundle: style sheet, pictures and fonts.
class TestResources : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { view::initResources(); }
    void assetListMatchesTheBundle();
    void fontsStandInForHelveticaNeue();
    void styleSheetAppliesWithoutWarnings();
    void applicationIconInEveryThemeSize();
};

// The list the sharper pictures are looked up in names every bundled file,
// and each picture has a twin of double size for high-density screens.
void TestResources::assetListMatchesTheBundle()
{
    const QStringList names = view::assetFileNames();
    QStringList expected;
    for (const QString& name : names) {
        expected << name;
        if (!name.endsWith(QLatin1String(".png")))
            continue;
        const QString twin = name.left(name.size() - 4) + QStringLiteral("@2x.png");
        expected << twin;
        const QImage image(QStringLiteral(":/assets/") + name);
        QVERIFY2(!image.isNull() && image.hasAlphaChannel(), qPrintable(name));
        QCOMPARE(QImage(QStringLiteral(":/assets/") + twin).size(), image.size() * 2);
    }
    expected.sort();
    QCOMPARE(QDir(QStringLiteral(":/assets")).entryList(QDir::Files, QDir::Name), expected);
}

void TestResources::fontsStandInForHelveticaNeue()
{
    QCOMPARE(view::installFont(), std::optional<QString>(QStringLiteral("TeX Gyre Heros")));
    QFont font(QStringLiteral("Helvetica Neue"));
    font.setBold(true);
    QCOMPARE(QFontInfo(font).family(), QStringLiteral("TeX Gyre Heros"));
    QVERIFY(QFontInfo(font).bold());
}

namespace {

QStringList warnings;

void collectWarnings(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        warnings << message;
}

} // namespace

void TestResources::styleSheetAppliesWithoutWarnings()
{
    view::installFont();
    const QtMessageHandler previous = qInstallMessageHandler(collectWarnings);
    qApp->setStyleSheet(view::styleSheetText());
    {
        // Every widget we own, polished and painted, so that each rule is parsed and used.
        view::MessageBox box;
        view::SettingsView settings;
        model::CameraList cameras;
        cameras << model::Camera{QStringLiteral("X100V"), QStringLiteral("123"), {}};
        settings.assignCameraList(cameras);
        view::CameraFrame frame;
        view::MenuButton button;
        for (QWidget* widget : std::initializer_list<QWidget*>{&box, &settings, &frame, &button}) {
            widget->ensurePolished();
            for (QWidget* child : widget->findChildren<QWidget*>())
                child->ensurePolished();
            QVERIFY(!widget->grab().isNull());
        }
        // Captions of the BoldLabel class are bold, other texts not.
        for (const char* name : {"label", "label_9"})
            QVERIFY2(testsupport::child<QLabel>(&settings, name)->font().bold(), name);
        QVERIFY(!testsupport::child<QLabel>(&settings, "label_10")->font().bold());
        // Each settings tab shows its picture above its caption.
        for (const char* tab : {"rewriteButton", "timeDateButton", "cameraButton"}) {
            const QImage image = testsupport::child(&settings, tab)->grab().toImage();
            int dark = 0;
            for (int y = 0; y < image.height() / 2; ++y)
                for (int x = 0; x < image.width(); ++x)
                    dark += qGray(image.pixel(x, y)) < 128;
            QVERIFY2(dark > 20, tab);
        }
    }
    qInstallMessageHandler(previous);
    qApp->setStyleSheet(QString());
    QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join(QLatin1Char('\n'))));
}

// The windows carry the map pin in the sizes of the installed icon theme,
// framed so that it fills the icon's height, and name the menu entry.
void TestResources::applicationIconInEveryThemeSize()
{
    view::setApplicationIdentity();
    QCOMPARE(QGuiApplication::desktopFileName(), QStringLiteral("io.github.kestrel_geotag.Kestrel"));
    QStringList sizes;
    for (QSize size : QGuiApplication::windowIcon().availableSizes())
        sizes << QStringLiteral("%1x%2").arg(size.width()).arg(size.height());
    QCOMPARE(sizes.join(' '), QStringLiteral("128x128 16x16 22x22 24x24 256x256 32x32 48x48 64x64"));
    // The white dot in the pin's head, the blue tip near the bottom, clear corners.
    const QImage image = QGuiApplication::windowIcon().pixmap(256).toImage();
    QCOMPARE(image.pixelColor(128, 87), QColor(Qt::white));
    QCOMPARE(image.pixelColor(128, 215), QColor(0x14, 0x82, 0xd2));
    QCOMPARE(image.pixelColor(0, 0).alpha() + image.pixelColor(255, 255).alpha(), 0);
}

QTEST_MAIN(TestResources)
#include "tst_resources.moc"
