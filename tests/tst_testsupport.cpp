#include <QtTest>

#include <QTemporaryDir>

#include "support/photos.h"

// The fixtures other tests stand on: a broken fixture would make them prove nothing.
class TestTestSupport : public QObject {
    Q_OBJECT
private slots:
    void photoWithExif();
    void qrCode();
};

void TestTestSupport::photoWithExif()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("a.jpg");
    QVERIFY(testsupport::writePhoto(path, testsupport::texturedImage(64, 48), testsupport::cameraTags()));
    const auto tags = testsupport::readExif(path);
    QCOMPARE(tags.value("Exif.Image.Model"), QString("X-T3"));
    QCOMPARE(tags.value("Exif.Photo.DateTimeOriginal"), QString("2026:07:14 12:34:56"));
    QVERIFY(testsupport::setExif(path, { { "Exif.Image.Model", "Z 6" } }));
    QCOMPARE(testsupport::readExif(path).value("Exif.Image.Model"), QString("Z 6"));
    QCOMPARE(QImage(path).size(), QSize(64, 48));
}

void TestTestSupport::qrCode()
{
    const QImage code = testsupport::qrCodeImage("{\"syncID\":\"abc\",\"elapsedTime\":42}", 4);
    QVERIFY(!code.isNull());
    QCOMPARE(code.width(), code.height());
    QCOMPARE(code.pixel(0, 0), qRgb(255, 255, 255));
    QCOMPARE(code.pixel(16, 16), qRgb(0, 0, 0)); // corner of the first finder pattern
    QVERIFY(!testsupport::syncPhotoImage("x").isNull());
}

QTEST_GUILESS_MAIN(TestTestSupport)
#include "tst_testsupport.moc"
