#include <QtTest>

#include <QPainter>
#include <QTemporaryDir>

#include "controller/barcodereader.h"
#include "model/photoinfo.h"
#include "support/files.h"
#include "support/photos.h"
#include "support/syncscene.h"

using controller::BarcodeReader;

Q_DECLARE_METATYPE(testsupport::SyncScene)

namespace {

// The sizes of the decoding passes a watched reader settles ("<width>x<height>"), in order.
QStringList passSizes;

void recordPass(const QSize& size)
{
    passSizes.append(QStringLiteral("%1x%2").arg(size.width()).arg(size.height()));
}

// A reader whose passes go to passSizes.
BarcodeReader watched()
{
    return BarcodeReader(nullptr, recordPass);
}

// Draws the modules at (left, top), module pixels each, dark on the painter's
// background; the caller leaves a quiet zone around it.
void drawModules(QPainter& painter, const std::vector<bool>& modules, int side, int left, int top, int module)
{
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x)
            if (modules[size_t(y * side + x)])
                painter.fillRect(left + x * module, top + y * module, module, module, QColor(20, 20, 20));
}

// An 8-bit gray image of the code of data (which may hold NUL).
QImage grayCode(const QByteArray& data, int module = 4)
{
    return testsupport::qrCodeImage(data, module).convertToFormat(QImage::Format_Grayscale8);
}

// The other fields as a camera photo has them; the date stays null.
model::PhotoInfo filledInfo()
{
    return { "old", -99, QString(), "X-T3", "SN1", QString(), 17, QString(), QString(), QString(), QString() };
}

const QByteArray syncPayload = R"({"syncID":"abc","elapsedTime":42})";

} // namespace

class TestBarcodeReader : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        passSizes.clear();
    }

    void payload_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("read");
        QTest::addColumn<QString>("syncId");
        QTest::addColumn<int>("elapsedTime");

        QTest::newRow("string and integer") << syncPayload << true << "abc" << 42;
        QTest::newRow("real") << QByteArray(R"({"syncID":"abc","elapsedTime":12.9})") << true << "abc" << 12;
        QTest::newRow("negative real") << QByteArray(R"({"syncID":"abc","elapsedTime":-12.9})") << true << "abc" << -12;
        QTest::newRow("real with exponent") << QByteArray(R"({"syncID":"abc","elapsedTime":1.5e2})") << true << "abc" << 150;
        QTest::newRow("negative integer") << QByteArray(R"({"syncID":"abc","elapsedTime":-7})") << true << "abc" << -7;
        QTest::newRow("largest integer") << QByteArray(R"({"syncID":"a","elapsedTime":2147483647})") << true << "a" << 2147483647;
        QTest::newRow("smallest integer") << QByteArray(R"({"syncID":"a","elapsedTime":-2147483648})") << true << "a"
                                          << int(-2147483647 - 1);
        QTest::newRow("integer beyond 32 bits") << QByteArray(R"({"syncID":"abc","elapsedTime":4294967338})") << true << "abc" << 0;
        QTest::newRow("real beyond 32 bits") << QByteArray(R"({"syncID":"abc","elapsedTime":3e10})") << true << "abc" << 0;
        QTest::newRow("number and string kinds") << QByteArray(R"({"syncID":5,"elapsedTime":"7"})") << true << "" << 0;
        QTest::newRow("object and boolean kinds") << QByteArray(R"({"syncID":{"a":1},"elapsedTime":true})") << true << "" << 0;
        QTest::newRow("empty syncID") << QByteArray(R"({"syncID":"","elapsedTime":42})") << true << "" << 42;
        QTest::newRow("UTF-8 syncID") << QByteArray("{\"syncID\":\"caf\xc3\xa9\",\"elapsedTime\":1}") << true
                                      << QString::fromUtf8("caf\xc3\xa9") << 1;
        QTest::newRow("payload ends at the first NUL") << syncPayload + QByteArray("\0}garbage", 9) << true << "abc" << 42;
        QTest::newRow("other members ignored")
            << QByteArray(R"({"a":[1,2],"elapsedTime":3,"syncID":"x","z":null})") << true << "x" << 3;
        QTest::newRow("missing elapsedTime") << QByteArray(R"({"syncID":"abc"})") << false << "old" << -99;
        QTest::newRow("null elapsedTime") << QByteArray(R"({"syncID":"abc","elapsedTime":null})") << false << "old" << -99;
        QTest::newRow("null syncID") << QByteArray(R"({"syncID":null,"elapsedTime":42})") << false << "old" << -99;
        QTest::newRow("missing syncID") << QByteArray(R"({"elapsedTime":42})") << false << "old" << -99;
        QTest::newRow("array") << QByteArray(R"([{"syncID":"abc","elapsedTime":42}])") << false << "old" << -99;
        QTest::newRow("not JSON") << QByteArray("syncID=abc elapsedTime=42") << false << "old" << -99;
        QTest::newRow("trailing comma") << QByteArray(R"({"syncID":"abc","elapsedTime":42,})") << false << "old" << -99;
    }

    // The record changes only when the pass succeeds, so a failed pass never
    // leaves half a payload behind; its other fields are never touched.
    void payload()
    {
        QFETCH(QByteArray, text);
        const QImage code = grayCode(text);
        QVERIFY(!code.isNull());
        model::PhotoInfo info = filledInfo();
        QTEST(watched().decode(code, &info), "read");
        QTEST(info.syncId, "syncId");
        QTEST(info.elapsedTime, "elapsedTime");
        QCOMPARE(passSizes, QStringList { QStringLiteral("%1x%2").arg(code.width()).arg(code.height()) });
        QCOMPARE(info.model + info.serialNumber + QString::number(info.shutterCount), QStringLiteral("X-T3SN117"));
        QVERIFY(info.dateTimeOriginal.isNull());
    }

    // Every format becomes the mean of red, green and blue, rounded down, alpha
    // ignored, each pixel at its own place, also in rows padded to 4 bytes.
    void grayLevel_data()
    {
        QTest::addColumn<QImage>("image");
        QImage varied(7, 5, QImage::Format_ARGB32);
        for (int y = 0; y < varied.height(); ++y)
            for (int x = 0; x < varied.width(); ++x)
                varied.setPixel(x, y, qRgba(x * 37 % 256, y * 51 % 256, (x * y * 13) % 256, (x + y) * 20));
        QTest::newRow("ARGB32") << varied;
        const QImage opaque = varied.convertToFormat(QImage::Format_RGB32);
        QTest::newRow("RGB32") << opaque;
        for (const auto& [format, name] :
             { std::pair { QImage::Format_RGB888, "RGB888" }, { QImage::Format_ARGB32_Premultiplied, "premultiplied" },
               { QImage::Format_RGB16, "RGB16" }, { QImage::Format_Grayscale8, "gray" }, { QImage::Format_Indexed8, "indexed" } })
            QTest::newRow(name) << opaque.convertToFormat(format);
    }

    void grayLevel()
    {
        QFETCH(QImage, image);
        const QImage result = BarcodeReader::toGrayscale(image);
        QCOMPARE(result.format(), QImage::Format_Grayscale8);
        QCOMPARE(result.size(), image.size());
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) {
                const QRgb p = image.pixel(x, y);
                QCOMPARE(int(result.constScanLine(y)[x]), (qRed(p) + qGreen(p) + qBlue(p)) / 3);
            }
    }

    // Every pixel lands where a rotation by Qt puts it, in blocks and at the edges.
    void turned_data()
    {
        QTest::addColumn<QSize>("size");
        for (const QSize& size : { QSize(37, 21), QSize(16, 8), QSize(5, 3), QSize(1, 1) })
            QTest::addRow("%dx%d", size.width(), size.height()) << size;
    }

    void turned()
    {
        QFETCH(QSize, size);
        QImage gray(size, QImage::Format_Grayscale8);
        for (int y = 0; y < gray.height(); ++y)
            for (int x = 0; x < gray.width(); ++x)
                gray.scanLine(y)[x] = uchar(x * 7 + y * 31);
        for (int turns = 0; turns < 4; ++turns)
            QCOMPARE(BarcodeReader::turned(gray, turns), gray.transformed(QTransform().rotate(90 * turns)));
    }

    // A gray image whose width is not a multiple of 4 has gap bytes at the end of
    // every row; quirc's buffer has none.
    void paddedGrayRows()
    {
        const QImage code = grayCode(syncPayload, 5);
        QImage padded(code.width() + 3 * 37 + 2, code.height() + 9, QImage::Format_Grayscale8);
        padded.fill(235);
        QPainter painter(&padded);
        painter.drawImage(40, 4, code);
        painter.end();
        QVERIFY(padded.bytesPerLine() != padded.width());
        QVERIFY(padded.width() != padded.height());
        model::PhotoInfo info = filledInfo();
        QVERIFY(BarcodeReader().decode(padded, &info));
        QCOMPARE(info.syncId, QStringLiteral("abc"));
        // The quarter turns of the padded image too.
        for (int turns = 1; turns < 4; ++turns) {
            info = filledInfo();
            QVERIFY(BarcodeReader().decode(padded.transformed(QTransform().rotate(90 * turns)), &info));
            QCOMPARE(info.elapsedTime, 42);
        }
    }

    void nullImage()
    {
        model::PhotoInfo info = filledInfo();
        QVERIFY(!watched().decode(QImage(), &info));
        QVERIFY(!watched().readRotated(QImage(), &info));
        QVERIFY(BarcodeReader::toGrayscale(QImage()).isNull());
        QCOMPARE(info.syncId, QStringLiteral("old"));
        QVERIFY(passSizes.isEmpty());
    }

    // Two codes: the upper one is damaged beyond repair and is the first quirc
    // reports, so an upright pass fails although the lower one is sound. Turned
    // by 180 degrees the sound code comes first.
    void onlyFirstCodeDecoded()
    {
        const int module = 6;
        int goodSide = 0;
        const std::vector<bool> good = testsupport::qrModules(syncPayload, &goodSide);
        int badSide = 0;
        std::vector<bool> bad = testsupport::qrModules(R"({"syncID":"zzz","elapsedTime":7})", &badSide);
        QVERIFY(!good.empty() && !bad.empty());
        // Invert the data area between the finder patterns.
        for (int y = 9; y < badSide - 10; ++y)
            for (int x = 9; x < badSide - 10; ++x)
                bad[size_t(y * badSide + x)] = !bad[size_t(y * badSide + x)];
        const int span = (std::max(goodSide, badSide) + 8) * module;
        // The image with the bad code in the cell (badX, badY) of a grid of
        // cells of side span and the good one in (goodX, goodY).
        const auto twoCodes = [&](QImage image, int badX, int badY, int goodX, int goodY) {
            image.fill(QColor(235, 235, 235));
            QPainter painter(&image);
            drawModules(painter, bad, badSide, badX * span + 4 * module, badY * span + 4 * module, module);
            drawModules(painter, good, goodSide, goodX * span + 4 * module, goodY * span + 4 * module, module);
            painter.end();
            return image;
        };
        const QImage image = twoCodes(QImage(2 * span, 2 * span, QImage::Format_RGB32), 0, 0, 1, 1);

        BarcodeReader reader(nullptr, recordPass);
        model::PhotoInfo info = filledInfo();
        QVERIFY(!reader.decode(image, &info));
        QCOMPARE(info.syncId, QStringLiteral("old"));
        QVERIFY(reader.decode(image.transformed(QTransform().rotate(180)), &info));
        QCOMPARE(info.syncId, QStringLiteral("abc"));

        // readRotated reaches the turned image on its third pass.
        info = filledInfo();
        passSizes.clear();
        QVERIFY(reader.readRotated(image.convertToFormat(QImage::Format_Grayscale8), &info));
        QCOMPARE(info.elapsedTime, 42);
        QCOMPARE(passSizes.size(), 3);

        // The bad code higher, the good one further left: a quarter turn
        // clockwise brings the good one to the top, so the second pass reads it.
        const QImage turned = twoCodes(QImage(2 * span + 5, 2 * span + 3, QImage::Format_Grayscale8), 1, 0, 0, 1);
        passSizes.clear();
        QVERIFY(reader.readRotated(turned, &info));
        QCOMPARE(passSizes, QStringList({ QStringLiteral("%1x%2").arg(turned.width()).arg(turned.height()),
                                          QStringLiteral("%1x%2").arg(turned.height()).arg(turned.width()) }));
    }

    // An upright code is read on the first pass. Without a code every pass is
    // tried: the twelve turned and scaled ones, then the half-size, quarter-size
    // and normalised ones. A file that is no image gets no pass at all.
    void readFile_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QImage>("image");
        QTest::addColumn<QByteArray>("contents"); // when there is no image; null: no file
        QTest::addColumn<QStringList>("passes");  // the first and last, and how many
        QTest::newRow("upright code") << "sync.jpg" << testsupport::syncPhotoImage(syncPayload, 1601, 1203) << QByteArray()
                                      << QStringList { "1601x1203", "1601x1203", "1" };
        QTest::newRow("no code") << "room.png" << testsupport::texturedImage(803, 601, 3) << QByteArray()
                                 << QStringList { "803x601", "200x150", "16" };
        QTest::newRow("missing") << "missing.jpg" << QImage() << QByteArray() << QStringList { "", "", "0" };
        QTest::newRow("text named .jpg") << "photo.jpg" << QImage() << QByteArray("not a photo\n") << QStringList { "", "", "0" };
        QTest::newRow("empty file") << "empty.jpg" << QImage() << QByteArray("") << QStringList { "", "", "0" };
        QTest::newRow("truncated JPEG") << "cut.jpg" << QImage() << QByteArray("\xff\xd8\xff\xe0\x00\x10JFIF\x00", 11)
                                        << QStringList { "", "", "0" };
    }

    void readFile()
    {
        QFETCH(QString, name);
        QFETCH(QImage, image);
        QFETCH(QByteArray, contents);
        QFETCH(QStringList, passes);
        QTemporaryDir dir;
        const QString path = dir.filePath(name);
        QVERIFY(image.isNull() ? contents.isNull() || testsupport::writeFile(path, contents) : image.save(path, nullptr, 90));
        model::PhotoInfo info = filledInfo();
        QCOMPARE(watched().read(path, &info), passes.last() == "1");
        QCOMPARE(info.syncId + QString::number(info.elapsedTime), QString(passes.last() == "1" ? "abc42" : "old-99"));
        QCOMPARE(QStringList({ passSizes.value(0), passSizes.isEmpty() ? QString() : passSizes.last(),
                               QString::number(passSizes.size()) }),
                 passes);
    }

    // width x height x mean gray is far above 2^31 here (mean gray about 160): with
    // 32-bit sums quirc's global threshold lands above the screen's white, between
    // it and the bright window, and no code is found in the whole photo.
    void brightPhotoOf24Megapixels()
    {
    #ifdef __SANITIZE_ADDRESS__
        QSKIP("a 24-megapixel photo takes minutes under AddressSanitizer; the normal build checks it");
    #endif
        int side = 0;
        const std::vector<bool> modules = testsupport::qrModules(syncPayload, &side);
        const int module = 14;
        QImage photo(6000, 4000, QImage::Format_RGB32);
        for (int y = 0; y < photo.height(); ++y) {
            QRgb* line = reinterpret_cast<QRgb*>(photo.scanLine(y));
            for (int x = 0; x < photo.width(); ++x) {
                const int v = 110 + (x / 7 + y / 5) % 81;
                line[x] = qRgb(v, v, v);
            }
        }
        QPainter painter(&photo);
        painter.fillRect(0, 0, 2000, 1200, Qt::white); // a window in daylight
        const int codeSide = (side + 8) * module;
        const QRect screen((photo.width() - codeSide) / 2, (photo.height() - codeSide) / 2, codeSide, codeSide);
        painter.fillRect(screen.adjusted(-60, -200, 60, 200), QColor(30, 30, 30));
        painter.fillRect(screen, QColor(240, 240, 240));
        drawModules(painter, modules, side, screen.left() + 4 * module, screen.top() + 4 * module, module);
        painter.end();
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("bright.jpg"));
        QVERIFY(photo.save(path, "JPEG", 95));
        photo = QImage();

        model::PhotoInfo info = filledInfo();
        QVERIFY(watched().read(path, &info));
        QCOMPARE(info.syncId, QStringLiteral("abc"));
        QCOMPARE(passSizes, QStringList { QStringLiteral("6000x4000") });
    }

    // The kinds of trouble a camera photo of a phone screen brings, at a size
    // that keeps the test quick (the benchmark runs them at 12 and 24 MP).
    void realisticPhoto_data()
    {
        QTest::addColumn<testsupport::SyncScene>("scene");
        for (const auto& entry : testsupport::realisticScenes(2000, 1500))
            QTest::newRow(qPrintable(entry.first)) << entry.second;
    }

    void realisticPhoto()
    {
        QFETCH(testsupport::SyncScene, scene);
        const QByteArray payload = R"({"syncID":"7f3c9a2e-5b1d-4e8a-9c6f-2d4b8e1a3f70","elapsedTime":123456})";
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("sync.jpg"));
        QVERIFY(testsupport::syncSceneImage(payload, scene).save(path, "JPEG", scene.jpegQuality));
        model::PhotoInfo info = filledInfo();
        QVERIFY(BarcodeReader().read(path, &info));
        QCOMPARE(info.syncId, QStringLiteral("7f3c9a2e-5b1d-4e8a-9c6f-2d4b8e1a3f70"));
        QCOMPARE(info.elapsedTime, 123456);
    }
};

QTEST_MAIN(TestBarcodeReader)
#include "tst_barcodereader.moc"
