#include <QtTest>

#include <QDesktopServices>
#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>
#include <QUrl>

#include "model/model.h"
#include "view/detailinfoview.h"

using model::PhotoGeocode;
using view::DetailInfoView;

// Stands in for the desktop's browser: records every address it is asked to open.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls << url; }
};

class TestDetailInfoView : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void successPage_data();
    void successPage();
    void errorPage();
    void mapButtonOpensPosition_data();
    void mapButtonOpensPosition();
    void closeButtonClosesErrorPage();

private:
    UrlCatcher catcher;
};

static QString labelText(const DetailInfoView& view, const char* name)
{
    const auto* label = view.findChild<QLabel*>(QLatin1String(name));
    return label ? label->text() : QStringLiteral("<no %1>").arg(QLatin1String(name));
}

static QString currentPage(const DetailInfoView& view)
{
    return view.findChild<QStackedWidget*>(QStringLiteral("stackedWidget"))->currentWidget()->objectName();
}

static PhotoGeocode successfulPhoto(double latitude, double longitude, double altitude)
{
    PhotoGeocode photo;
    photo.filePath = QStringLiteral("/home/ann/Pictures/Trip 2026/DSCF0042.JPG");
    photo.success = true;
    photo.photoTime = QStringLiteral("2026-07-14 12:35:01");
    photo.dateTimeOriginal = QStringLiteral("2026:07:14 12:34:56");
    photo.latitude = latitude;
    photo.longitude = longitude;
    photo.altitude = altitude;
    photo.timeZone = QStringLiteral("+02:00");
    photo.timeZoneId = QStringLiteral("Europe/Ljubljana");
    photo.timeZoneName = QStringLiteral("Central European Summer Time");
    photo.accuracy = 7;
    return photo;
}

void TestDetailInfoView::init()
{
    catcher.urls.clear();
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher, "open");
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &catcher, "open");
}

void TestDetailInfoView::cleanup()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
}

void TestDetailInfoView::successPage_data()
{
    QTest::addColumn<double>("latitude");
    QTest::addColumn<double>("longitude");
    QTest::addColumn<double>("altitude");
    QTest::addColumn<QString>("latitudeText");
    QTest::addColumn<QString>("longitudeText");
    QTest::addColumn<QString>("altitudeText");

    QTest::newRow("north east") << 46.0569465 << 14.5057515 << 295.0 << "46.0569465N" << "14.5057515E" << "295";
    QTest::newRow("south west") << -33.8688197 << -70.6692655 << -12.5 << "33.8688197S" << "70.6692655W" << "-12.5";
    QTest::newRow("zero") << 0.0 << 0.0 << 0.0 << "0N" << "0E" << "0";
    QTest::newRow("negative zero") << -0.0 << -0.0 << -0.0 << "0N" << "0E" << "0";
    QTest::newRow("nine digits") << 123456789.123 << -0.5 << 1234567.0 << "123456789N" << "0.5W" << "1.23457e+06";
}

void TestDetailInfoView::successPage()
{
    QFETCH(double, latitude);
    QFETCH(double, longitude);
    QFETCH(double, altitude);
    const PhotoGeocode photo = successfulPhoto(latitude, longitude, altitude);
    DetailInfoView view(photo);

    QCOMPARE(view.windowTitle(), QStringLiteral("DSCF0042.JPG"));
    QCOMPARE(currentPage(view), QStringLiteral("successPage"));
    QCOMPARE(labelText(view, "originalDateTimeLabel"), QStringLiteral("2026:07:14 12:34:56"));
    QCOMPARE(labelText(view, "correctedDateTimeLabel"), QStringLiteral("2026-07-14 12:35:01"));
    QCOMPARE(labelText(view, "timeZoneLabel"), QStringLiteral("Central European Summer Time (+02:00)"));
    QTEST(labelText(view, "latitudeLabel"), "latitudeText");
    QTEST(labelText(view, "longitudeLabel"), "longitudeText");
    QTEST(labelText(view, "altitudeLabel"), "altitudeText");
    QCOMPARE(labelText(view, "accuracyLabel"), QStringLiteral("7"));
    QCOMPARE(labelText(view, "precisionLabel"), QStringLiteral("Recorded in high precision mode"));
    // The success page has no close button of its own.
    QVERIFY(!view.findChild<QPushButton*>(QStringLiteral("closeButton"))->isVisibleTo(&view));
}

void TestDetailInfoView::errorPage()
{
    PhotoGeocode photo;
    photo.filePath = QStringLiteral("C:/Photos/IMG_0001.CR2");
    photo.errorTitle = QStringLiteral("EXIF Error");
    photo.errorText = QStringLiteral("Unsupported Camera model");
    DetailInfoView view(photo);

    QCOMPARE(view.windowTitle(), QStringLiteral("IMG_0001.CR2"));
    QCOMPARE(currentPage(view), QStringLiteral("errorPage"));
    QCOMPARE(labelText(view, "errorTitleLabel"), QStringLiteral("EXIF Error"));
    QCOMPARE(labelText(view, "errorDescriptionLabel"), QStringLiteral("Unsupported Camera model"));
    QVERIFY(!view.findChild<QPushButton*>(QStringLiteral("showOnMapButton"))->isVisibleTo(&view));

    // A failed write says why in plain words; a sidecar is named.
    photo.errorText = QStringLiteral("Error writing EXIF data to the image file");
    photo.errorCause = QStringLiteral("the folder is read-only");
    QCOMPARE(labelText(DetailInfoView(photo), "errorDescriptionLabel"),
             QStringLiteral("Error writing EXIF data to the image file: the folder is read-only"));
    PhotoGeocode tagged = successfulPhoto(1, 2, 3);
    tagged.sidecarPath = QStringLiteral("C:/Photos/IMG_0001.xmp");
    QCOMPARE(labelText(DetailInfoView(tagged), "precisionLabel"),
             QStringLiteral("Recorded in high precision mode\nGPS written to IMG_0001.xmp"));
}

void TestDetailInfoView::mapButtonOpensPosition_data()
{
    QTest::addColumn<double>("latitude");
    QTest::addColumn<double>("longitude");
    QTest::addColumn<QString>("url");

    QTest::newRow("south east") << -33.8 << 151.2 << "https://www.google.com/maps?q=-33.8,151.2";
    QTest::newRow("south west") << -22.9068467 << -43.1728965 << "https://www.google.com/maps?q=-22.9068467,-43.1728965";
    QTest::newRow("nine digits") << 46.05694651234 << 14.5 << "https://www.google.com/maps?q=46.0569465,14.5";
    QTest::newRow("zero") << 0.0 << 0.0 << "https://www.google.com/maps?q=0,0";
}

void TestDetailInfoView::mapButtonOpensPosition()
{
    QFETCH(double, latitude);
    QFETCH(double, longitude);
    QFETCH(QString, url);
    const PhotoGeocode photo = successfulPhoto(latitude, longitude, 100.0);
    DetailInfoView view(photo);
    view.show();

    QTest::mouseClick(view.findChild<QPushButton*>(QStringLiteral("showOnMapButton")), Qt::LeftButton);

    QCOMPARE(catcher.urls.size(), 1);
    QCOMPARE(catcher.urls.first().toString(), url);
}

void TestDetailInfoView::closeButtonClosesErrorPage()
{
    PhotoGeocode photo;
    photo.filePath = QStringLiteral("/tmp/a.jpg");
    photo.errorTitle = QStringLiteral("Network error");
    DetailInfoView view(photo);
    QTimer::singleShot(0, &view, [&view] {
        QTest::mouseClick(view.findChild<QPushButton*>(QStringLiteral("closeButton")), Qt::LeftButton);
    });
    view.exec();
    QVERIFY(!view.isVisible());
    QVERIFY(catcher.urls.isEmpty());
}

QTEST_MAIN(TestDetailInfoView)
#include "tst_detailinfoview.moc"
