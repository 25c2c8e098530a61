#include <QtTest>

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>

#include "model/model.h"
#include "model/photoinfo.h"
#include "support/files.h"

using model::Model;
using testsupport::readFile;
using testsupport::writeFile;

class TestModel : public QObject {
    Q_OBJECT
private slots:
    void configFileFolderCreatedOnFirstUse();
    void savedBytes_data();
    void savedBytes();
    void loadedValues_data();
    void loadedValues();
    void missingFileLeavesDefaults();
    void failedSaveKeepsOldFile();
    void fixedData();
    void baseUrlNormalization_data();
    void baseUrlNormalization();
    void photoInfoClear();
};

void TestModel::configFileFolderCreatedOnFirstUse()
{
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    QDir(data + "/KESTREL").removeRecursively();
    const QString path = Model::configFilePath();
    QCOMPARE(path, data + "/KESTREL/config.dat");
    QVERIFY(QFileInfo(data + "/KESTREL").isDir());
    QVERIFY(!QFile::exists(path));
    QCOMPARE(Model::configFilePath(), path);
}

void TestModel::savedBytes_data()
{
    QTest::addColumn<QString>("userID");
    QTest::addColumn<bool>("rewrite");
    QTest::addColumn<bool>("modify");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("null id") << QString() << false << false << QByteArray::fromHex("ffffffff0000");
    QTest::newRow("empty id") << QString("") << true << false << QByteArray::fromHex("000000000100");
    QTest::newRow("ascii id") << QString("ab") << false << true << QByteArray::fromHex("00000004006100620001");
    QTest::newRow("non-ascii id") << QString::fromUtf8("\xc3\xa9\xe2\x82\xac") << true << true
                                  << QByteArray::fromHex("0000000400e920ac0101");
}

void TestModel::savedBytes()
{
    QFETCH(QString, userID);
    QFETCH(bool, rewrite);
    QFETCH(bool, modify);
    QFETCH(QByteArray, bytes);
    QTemporaryDir dir;
    const QString path = dir.filePath("config.dat");
    QVERIFY(writeFile(path, QByteArray(100, 'x')));
    Model m;
    m.userID = userID;
    m.rewrite = rewrite;
    m.modifyTimeDate = modify;
    QVERIFY(m.save(path));
    const QByteArray written = readFile(path);
    QCOMPARE(written, bytes);
    QCOMPARE(written.size(), 6 + 2 * userID.size());
    // Nothing but the file itself is left in the folder.
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList { "config.dat" });
}

void TestModel::loadedValues_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("userID");
    QTest::addColumn<bool>("rewrite");
    QTest::addColumn<bool>("modify");
    QTest::newRow("empty id, rewrite") << QByteArray::fromHex("000000000100") << QString() << true << false;
    QTest::newRow("null id") << QByteArray::fromHex("ffffffff0001") << QString() << false << true;
    QTest::newRow("id") << QByteArray::fromHex("0000000600750031005a0101") << QString("u1Z") << true << true;
    QTest::newRow("empty file") << QByteArray() << QString() << false << false;
    QTest::newRow("only the id") << QByteArray::fromHex("000000020041") << QString("A") << false << false;
    QTest::newRow("id and one flag") << QByteArray::fromHex("00000002004101") << QString("A") << true << false;
}

void TestModel::loadedValues()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, userID);
    QFETCH(bool, rewrite);
    QFETCH(bool, modify);
    QTemporaryDir dir;
    const QString path = dir.filePath("config.dat");
    QVERIFY(writeFile(path, bytes));
    Model m;
    m.userID = "old";
    m.rewrite = !rewrite;
    m.modifyTimeDate = !modify;
    QVERIFY(m.load(path));
    QCOMPARE(m.userID, userID);
    QCOMPARE(m.rewrite, rewrite);
    QCOMPARE(m.modifyTimeDate, modify);
}

void TestModel::missingFileLeavesDefaults()
{
    QTemporaryDir dir;
    Model m;
    m.userID = "kept";
    m.rewrite = true;
    QVERIFY(!m.load(dir.filePath("none.dat")));
    QCOMPARE(m.userID, QString("kept"));
    QVERIFY(m.rewrite);
}

void TestModel::failedSaveKeepsOldFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("config.dat");
    const QByteArray old = QByteArray::fromHex("00000002004101 00");
    QVERIFY(writeFile(path, old));
    QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::ExeOwner);
    Model m;
    m.userID = "new";
    const bool saved = m.save(path);
    QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (saved)
        QSKIP("running with permission to write into read-only folders (root)");
    QCOMPARE(readFile(path), old);
    QVERIFY(!m.save(dir.filePath("missing/folder/config.dat")));
}

void TestModel::fixedData()
{
    const QStringList patterns = Model::photoFilePatterns();
    QCOMPARE(patterns.size(), 32);
    QCOMPARE(patterns.first(), QString("*.jpg"));
    QCOMPARE(patterns.at(17), QString("*.x3f"));
    QCOMPARE(patterns.last(), QString("*.x3f"));
    QCOMPARE(QSet<QString>(patterns.begin(), patterns.end()).size(), 31);
    QCOMPARE(Model::rawUnsupportedMakes(), (QStringList { "sony", "hasselblad", "leica", "olympus" }));
    QCOMPARE(Model::nonRawSuffixes(), (QStringList { "jpg", "png", "bmp", "tif", "tiff" }));
    QCOMPARE(Model::maxPendingRequests(), 5);
    QCOMPARE(Model::requestAttempts(), 3);
    QVERIFY(Model::baseUrl().endsWith('/'));
    QVERIFY(Model::baseUrl().startsWith("http"));

    Model m;
    QVERIFY(m.userID.isEmpty());
    QVERIFY(!m.rewrite);
    QVERIFY(!m.modifyTimeDate);
    QVERIFY(m.cameras.isEmpty());
    QVERIFY(m.cameras.phoneName.isEmpty());
    QCOMPARE(m.imageCount, 0);
}

void TestModel::baseUrlNormalization_data()
{
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("expected");
    QTest::newRow("slash added") << "http://127.0.0.1:9000" << "http://127.0.0.1:9000/";
    QTest::newRow("kept") << "https://geo.example.org/api/" << "https://geo.example.org/api/";
    QTest::newRow("path") << "http://host/kestrel" << "http://host/kestrel/";
    QTest::newRow("ftp refused") << "ftp://host/" << QString();
    QTest::newRow("no host") << "http:///x" << QString();
    QTest::newRow("not a url") << "just text" << QString();
    QTest::newRow("query refused") << "http://host/?a=b" << QString();
}

void TestModel::baseUrlNormalization()
{
    QFETCH(QString, given);
    QFETCH(QString, expected);
    QCOMPARE(Model::normalizedBaseUrl(given), expected);
}

void TestModel::photoInfoClear()
{
    model::PhotoInfo info;
    info.syncId = "s";
    info.elapsedTime = 5;
    info.model = "m";
    info.shutterCount = 9;
    info.timeZone = "tz";
    info.clear();
    QVERIFY(!info.syncId.isNull());
    QVERIFY(info.syncId.isEmpty());
    QVERIFY(!info.dateTimeOriginal.isNull());
    QVERIFY(!info.gpsProcessingMethod.isNull());
    QCOMPARE(info.elapsedTime, 0);
    QCOMPARE(info.shutterCount, 0);
    QCOMPARE(info.timeZone, QString(""));
}

QTEST_GUILESS_MAIN(TestModel)
#include "tst_model.moc"
