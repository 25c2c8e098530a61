#include <QtTest>

#include <exiv2/exiv2.hpp>

#include <QBuffer>
#include <QDesktopServices>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QUrl>

#include "model/model.h"
#include "support/photos.h"
#include "support/widgets.h"
#include "view/detailinfoview.h"
#include "view/photopreview.h"

using model::PhotoGeotag;
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
    void thumbnail_data();
    void thumbnail();

private:
    UrlCatcher m_catcher;
};

static QString labelText(const DetailInfoView& view, const char* name)
{
    return testsupport::child<QLabel>(&view, name)->text();
}

static PhotoGeotag successfulPhoto(double latitude, double longitude, double altitude)
{
    PhotoGeotag photo;
    photo.filePath = QStringLiteral("/home/ann/Pictures/Trip 2026/DSCF0042.JPG");
    photo.success = true;
    photo.photoTime = QStringLiteral("2026-07-14 12:35:01");
    photo.dateTimeOriginal = QStringLiteral("2026:07:14 12:34:56");
    photo.latitude = latitude;
    photo.longitude = longitude;
    photo.altitude = altitude;
    photo.timeZone = QStringLiteral("+02:00");
    photo.timeZoneName = QStringLiteral("Central European Summer Time");
    photo.accuracy = 23.4;
    return photo;
}

void TestDetailInfoView::init()
{
    m_catcher.urls.clear();
    for (const char* scheme : {"https", "http"}) // a wrong scheme must not reach a real browser
        QDesktopServices::setUrlHandler(QLatin1String(scheme), &m_catcher, "open");
}

void TestDetailInfoView::cleanup()
{
    for (const char* scheme : {"https", "http"})
        QDesktopServices::unsetUrlHandler(QLatin1String(scheme));
}

void TestDetailInfoView::successPage_data()
{
    QTest::addColumn<double>("latitude");
    QTest::addColumn<double>("longitude");
    QTest::addColumn<double>("altitude");
    QTest::addColumn<bool>("timeWritten");
    QTest::addColumn<bool>("demo");
    QTest::addColumn<QString>("position"); // the results table shows the same texts
    QTest::addColumn<QString>("map");      // after https://www.google.com/maps?q=
    QTest::addColumn<QString>("clock");    // the clock's text, and with one the accuracy's parts; empty: none

    const QString clock = "The clock offset is interpolated between the synchronizations of 2026-05-01 10:00:00 and "
                          "2026-05-11 10:01:40.";
    QTest::newRow("north east") << 40.6873 << 14.5057515 << 30.0 << true << false << "40.687300N 14.505752E 30.0 m"
                                << "40.6873,14.5057515" << clock;
    QTest::newRow("south west") << -33.8688197 << -70.6692655 << -12.5 << false << true
                                << "33.868820S 70.669266W -12.5 m" << "-33.8688197,-70.6692655" << "";
    QTest::newRow("negative zero") << -0.0 << -0.0 << -0.0 << false << false << "0.000000N 0.000000E 0.0 m" << "0,0" << "";
    QTest::newRow("rounds to zero") << -4e-7 << -4.9e-7 << -0.04 << false << false << "0.000000N 0.000000E 0.0 m"
                                    << "-4e-07,-4.9e-07" << "";
    QTest::newRow("large") << 123456789.123 << -0.5 << 28.3499 << true << true << "123456789.123000N 0.500000W 28.3 m"
                           << "123456789,-0.5" << "";
}

void TestDetailInfoView::successPage()
{
    QFETCH(double, latitude);
    QFETCH(double, longitude);
    QFETCH(double, altitude);
    QFETCH(bool, timeWritten);
    QFETCH(bool, demo);
    QFETCH(QString, map);
    QFETCH(QString, clock);
    PhotoGeotag photo = successfulPhoto(latitude, longitude, altitude);
    photo.timeWritten = timeWritten;
    photo.demo = demo;
    photo.accuracyParts = {!clock.isEmpty(), 5.0, 20.1, 2.0};
    photo.clock.text = clock;
    if (!clock.isEmpty())
        photo.place = {"Lisbon", "", "Lisbon", "Portugal", "PT", 1234};
    DetailInfoView view(photo);

    QCOMPARE(view.windowTitle(), QStringLiteral("DSCF0042.JPG"));
    QCOMPARE(testsupport::currentPage(&view), QStringLiteral("successPage"));
    QStringList texts;
    for (const char* name : {"originalDateTimeLabel", "correctedDateTimeLabel", "label_3", "timeZoneLabel",
                             "accuracyLabel", "precisionLabel", "clockLabel"})
        texts << labelText(view, name);
    // Dates in one form; beside the zone its local time, written or not;
    // a note only for a demo position.
    QCOMPARE(texts, (QStringList{"2026-07-14 12:34:56", "2026-07-14 12:35:01",
                                 timeWritten ? "Corrected Date and Time" : "Local Date and Time",
                                 "Central European Summer Time (+02:00)",
                                 clock.isEmpty() ? "23.4 m" : "23.4 m (fixes 5.0 m, movement 20.1 m, clock 2.0 m)",
                                 demo ? "Demo position, not from your phone" : "", clock}));
    for (const char* name : {"clockLabel", "clockTitleLabel"})
        QCOMPARE(testsupport::child(&view, name)->isVisibleTo(&view), !clock.isEmpty());
    QTEST(labelText(view, "latitudeLabel") + ' ' + labelText(view, "longitudeLabel") + ' '
              + labelText(view, "altitudeLabel"), "position");
    QCOMPARE(testsupport::child(&view, "precisionLabel")->isVisibleTo(&view), demo);
    QStringList place; // the rows shown
    for (const char* name : {"cityLabel", "sublocationLabel", "regionLabel", "countryLabel"})
        if (testsupport::child(&view, name)->isVisibleTo(&view))
            place << labelText(view, name);
    QCOMPARE(place, clock.isEmpty() ? QStringList() : (QStringList{"Lisbon", "Lisbon", "Portugal (PT)"}));
    // The web map button opens the position in the browser; the map button
    // closes the dialog with its own answer.
    view.show();
    QTest::mouseClick(view.findChild<QPushButton*>(QStringLiteral("webMapButton")), Qt::LeftButton);
    QCOMPARE(m_catcher.urls, QList<QUrl>{QUrl(QStringLiteral("https://www.google.com/maps?q=") + map)});
    QTest::mouseClick(view.findChild<QPushButton*>(QStringLiteral("showOnMapButton")), Qt::LeftButton);
    QCOMPARE(view.result(), DetailInfoView::ShowOnMap);
    QVERIFY(!view.isVisible());
}

void TestDetailInfoView::errorPage()
{
    PhotoGeotag photo;
    photo.filePath = QStringLiteral("C:/Photos/IMG_0001.CR2");
    photo.errorTitle = QStringLiteral("EXIF Error");
    photo.errorText = QStringLiteral("Unsupported Camera model");
    DetailInfoView view(photo);

    QCOMPARE(view.windowTitle(), QStringLiteral("IMG_0001.CR2"));
    QCOMPARE(testsupport::currentPage(&view), QStringLiteral("errorPage"));
    QCOMPARE(labelText(view, "errorTitleLabel") + '|' + labelText(view, "errorDescriptionLabel"),
             QStringLiteral("EXIF Error|Unsupported Camera model"));
    QVERIFY(!testsupport::child(&view, "errorClockLabel")->isVisibleTo(&view));
    // Its close button closes it.
    testsupport::onNextModal(this, [](QWidget* dialog) {
        QTest::mouseClick(testsupport::child(dialog, "closeButton"), Qt::LeftButton);
    });
    view.exec();
    QVERIFY(!view.isVisible());

    // A failed write says why in plain words; a sidecar is named.
    photo.errorText = QStringLiteral("Error writing EXIF data to the image file");
    photo.errorCause = QStringLiteral("the folder is read-only");
    QCOMPARE(labelText(DetailInfoView(photo), "errorDescriptionLabel"),
             QStringLiteral("Error writing EXIF data to the image file: the folder is read-only"));
    // A photo without a position names where its clock offset came from.
    photo.clock.text = QStringLiteral("The clock offset comes from the synchronization of 2026-05-01 10:00:00.");
    const DetailInfoView withClock(photo);
    QCOMPARE(labelText(withClock, "errorClockLabel"), photo.clock.text);
    QVERIFY(testsupport::child(&withClock, "errorClockLabel")->isVisibleTo(&withClock));
    PhotoGeotag tagged = successfulPhoto(1, 2, 3);
    tagged.sidecarPath = QStringLiteral("C:/Photos/IMG_0001.xmp");
    QCOMPARE(labelText(DetailInfoView(tagged), "precisionLabel"),
             QStringLiteral("GPS written to IMG_0001.xmp"));
}

void TestDetailInfoView::thumbnail_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QColor>("embedded"); // invalid: the photo carries no preview
    QTest::addColumn<QColor>("shown");    // invalid: no picture at all
    QTest::newRow("embedded preview, not the photo") << "a.jpg" << QColor(Qt::red) << QColor(Qt::red);
    QTest::newRow("JPEG without preview") << "b.jpeg" << QColor() << QColor(Qt::blue);
    QTest::newRow("raw without preview") << "c.nef" << QColor() << QColor();
    QTest::newRow("missing file") << "" << QColor() << QColor();
}

void TestDetailInfoView::thumbnail()
{
    QFETCH(QString, name);
    QFETCH(QColor, embedded);
    QFETCH(QColor, shown);
    QTemporaryDir dir;
    PhotoGeotag photo = successfulPhoto(1, 2, 3);
    photo.filePath = dir.filePath(name.isEmpty() ? QStringLiteral("gone.jpg") : name);
    if (!name.isEmpty()) {
        QImage blue(800, 600, QImage::Format_RGB32);
        blue.fill(Qt::blue);
        if (name.endsWith(QLatin1String(".nef")))
            QVERIFY(testsupport::writeTiff(photo.filePath, blue, testsupport::cameraTags()));
        else
            QVERIFY(testsupport::writePhoto(photo.filePath, blue, testsupport::cameraTags()));
    }
    if (embedded.isValid()) {
        QImage small(160, 120, QImage::Format_RGB32);
        small.fill(embedded);
        QByteArray jpeg;
        QBuffer buffer(&jpeg);
        QVERIFY(small.save(&buffer, "JPEG"));
        auto image = Exiv2::ImageFactory::open(photo.filePath.toStdString());
        image->readMetadata();
        Exiv2::ExifThumb(image->exifData())
            .setJpegThumbnail(reinterpret_cast<const Exiv2::byte*>(jpeg.constData()), long(jpeg.size()));
        image->writeMetadata();
    }
    DetailInfoView view(photo);
    auto* label = view.findChild<QLabel*>(QStringLiteral("thumbnailLabel"));
    QVERIFY(label && !label->accessibleName().isEmpty());
    QVERIFY(label->pixmap(Qt::ReturnByValue).isNull()); // read later, not while opening
    QCoreApplication::processEvents(); // the deferred read
    view::waitForPreviews();
    QCoreApplication::processEvents(); // the worker's answer
    const QImage picture = label->pixmap(Qt::ReturnByValue).toImage();
    QCOMPARE(!picture.isNull(), shown.isValid());
    if (shown.isValid()) {
        QVERIFY(picture.width() <= 96 && picture.height() <= 64);
        QVERIFY(picture.width() == 96 || picture.height() == 64);
        const QColor centre = picture.pixelColor(picture.rect().center());
        QVERIFY2(qAbs(centre.red() - shown.red()) < 40 && qAbs(centre.blue() - shown.blue()) < 40,
                 qPrintable(centre.name()));
    }
    // A dialog closed while its picture is still being read is left alone.
    auto* early = new DetailInfoView(photo);
    QCoreApplication::processEvents();
    delete early;
    view::waitForPreviews();
    QCoreApplication::processEvents();
}

QTEST_MAIN(TestDetailInfoView)
#include "tst_detailinfoview.moc"
