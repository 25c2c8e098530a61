#include <QtTest>

#include <QApplication>
#include <QDir>
#include <QFontDatabase>
#include <QFontInfo>
#include <QImage>
#include <QLabel>
#include <QResource>

#include "model/model.h"
#include "view/cameraframe.h"
#include "view/camerawidget.h"
#include "view/menubutton.h"
#include "view/messagebox.h"
#include "view/resources.h"
#include "view/settingsview.h"

// The resource bundle: style sheet, pictures and fonts.
class TestResources : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { view::initResources(); }
    void bothPrefixesFindTheSameBytes_data();
    void bothPrefixesFindTheSameBytes();
    void assetFolderHoldsTheBundledFiles();
    void picturesLoad_data();
    void picturesLoad();
    void styleSheetIsCompressed();
    void fontsLoadAndStandInForHelveticaNeue();
    void styleSheetAppliesWithoutWarnings();
    void boldLabelsRenderBold();
    void styleSheetDrawsTheDialogs();

private:
    static QStringList pictureNames();
};

QStringList TestResources::pictureNames()
{
    QStringList names;
    for (const QString& name : view::assetFileNames()) {
        if (name.endsWith(QLatin1String(".png")))
            names << name;
    }
    return names;
}

void TestResources::bothPrefixesFindTheSameBytes_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("style.css") << QStringLiteral("style.css");
    for (const QString& name : view::assetFileNames())
        QTest::newRow(qPrintable(name)) << QStringLiteral("assets/") + name;
}

void TestResources::bothPrefixesFindTheSameBytes()
{
    QFETCH(QString, path);
    QFile single(QStringLiteral(":/") + path);
    QFile doubled(QStringLiteral("://") + path);
    QVERIFY2(single.open(QIODevice::ReadOnly), qPrintable(single.fileName()));
    QVERIFY2(doubled.open(QIODevice::ReadOnly), qPrintable(doubled.fileName()));
    const QByteArray bytes = single.readAll();
    QVERIFY(bytes.size() > 100);
    QCOMPARE(doubled.readAll(), bytes);
}

void TestResources::assetFolderHoldsTheBundledFiles()
{
    const QStringList names = view::assetFileNames();
    QCOMPARE(names.size(), 26);
    QCOMPARE(QSet<QString>(names.begin(), names.end()).size(), 26);
    const QStringList present = QDir(QStringLiteral(":/assets")).entryList(QDir::Files);
    for (const QString& name : names)
        QVERIFY2(present.contains(name), qPrintable(name));
    // Besides them only the double-size variants of the pictures.
    for (const QString& name : present) {
        if (names.contains(name))
            continue;
        QVERIFY2(name.endsWith(QLatin1String("@2x.png")), qPrintable(name));
        QVERIFY2(names.contains(name.left(name.size() - 7) + QStringLiteral(".png")), qPrintable(name));
    }
    QCOMPARE(present.size(), 26 + pictureNames().size());
}

void TestResources::picturesLoad_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QSize>("size");
    // The size each form shows the picture at.
    const QMap<QString, QSize> sizes{
        {"okSign.png", {48, 48}},          {"infoSign.png", {48, 48}},
        {"warningSign.png", {48, 48}},     {"errorSign.png", {48, 48}},
        {"deleteIcon.png", {24, 24}},      {"cameraIconSmall.png", {28, 40}},
        {"geocodeIconSmall.png", {28, 40}}, {"timeDateIconSmall.png", {28, 40}}, {"serviceIconSmall.png", {28, 40}},
        {"vintageClock.png", {96, 96}},    {"browserImage.png", {96, 96}},
        {"cameraImage.png", {96, 96}},     {"cameraIconMedium.png", {48, 48}},
    };
    for (const QString& name : pictureNames())
        QTest::newRow(qPrintable(name)) << name << sizes.value(name);
}

void TestResources::picturesLoad()
{
    QFETCH(QString, name);
    QFETCH(QSize, size);
    const QImage image(QStringLiteral("://assets/") + name);
    QVERIFY(!image.isNull());
    QVERIFY(image.hasAlphaChannel());
    if (size.isValid())
        QCOMPARE(image.size(), size);
    const QImage sharp(QStringLiteral(":/assets/") + name.left(name.size() - 4) + QStringLiteral("@2x.png"));
    QVERIFY(!sharp.isNull());
    QCOMPARE(sharp.size(), image.size() * 2);
}

void TestResources::styleSheetIsCompressed()
{
    QResource resource(QStringLiteral(":/style.css"));
    QVERIFY(resource.isValid());
    QVERIFY(resource.compressionAlgorithm() != QResource::NoCompression);
    QVERIFY(resource.uncompressedSize() > resource.size());
    QVERIFY(view::styleSheetText().contains(QLatin1String("font-family: \"Helvetica Neue\"")));
}

void TestResources::fontsLoadAndStandInForHelveticaNeue()
{
    for (const char* name : {"HelveticaNeue.ttf", "HelveticaNormal.ttf"}) {
        const int id = QFontDatabase::addApplicationFont(QStringLiteral("://assets/") + QLatin1String(name));
        QVERIFY2(id >= 0, name);
        QCOMPARE(QFontDatabase::applicationFontFamilies(id), QStringList{QStringLiteral("TeX Gyre Heros")});
    }
    QCOMPARE(view::installFont(), QStringLiteral("TeX Gyre Heros"));
    QFont font(QStringLiteral("Helvetica Neue"));
    QCOMPARE(QFontInfo(font).family(), QStringLiteral("TeX Gyre Heros"));
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
    warnings.clear();
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
    }
    qInstallMessageHandler(previous);
    qApp->setStyleSheet(QString());
    QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join(QLatin1Char('\n'))));
}

void TestResources::boldLabelsRenderBold()
{
    view::installFont();
    qApp->setStyleSheet(view::styleSheetText());
    view::SettingsView settings;
    // As showing it would: the dialog polishes its children.
    settings.ensurePolished();
    for (const char* name : {"label", "label_3", "label_9", "label_11"}) {
        auto* label = settings.findChild<QLabel*>(QLatin1String(name));
        QVERIFY(label);
        QCOMPARE(label->property("class").toString(), QStringLiteral("BoldLabel"));
        QVERIFY2(label->font().bold(), name);
        QCOMPARE(label->font().pixelSize(), 14);
    }
    auto* plain = settings.findChild<QLabel*>(QStringLiteral("label_10"));
    QVERIFY(!plain->font().bold());
    qApp->setStyleSheet(QString());
}

void TestResources::styleSheetDrawsTheDialogs()
{
    qApp->setStyleSheet(view::styleSheetText());
    {
        view::MessageBox box;
        const QImage image = box.grab().toImage();
        QCOMPARE(QColor(image.pixel(2, 2)), QColor(222, 222, 222));
    }
    {
        view::SettingsView settings;
        auto* stack = settings.findChild<QWidget*>(QStringLiteral("stackedWidget"));
        const QImage page = stack->grab().toImage();
        QCOMPARE(QColor(page.pixel(page.width() - 3, page.height() - 3)), QColor(236, 236, 236));
        // Each tab shows its picture above its caption.
        for (const char* tab : {"rewriteButton", "timeDateButton", "cameraButton"}) {
            const QImage image = settings.findChild<QWidget*>(QLatin1String(tab))->grab().toImage();
            int dark = 0;
            for (int y = 0; y < image.height() / 2; ++y)
                for (int x = 0; x < image.width(); ++x)
                    dark += qGray(image.pixel(x, y)) < 128;
            QVERIFY2(dark > 20, tab);
        }
    }
    qApp->setStyleSheet(QString());
}

QTEST_MAIN(TestResources)
#include "tst_resources.moc"
