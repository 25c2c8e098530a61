#include <QtTest>

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <csignal>
#include <sys/resource.h>

#include "model/model.h"
#include "support/files.h"

using model::Model;
using testsupport::readFile;
using testsupport::writeFile;

class TestModel : public QObject {
    Q_OBJECT
private slots:
    // On a first start the folder is made; loading the missing file fails and
    // leaves the values as they were.
    void firstStart()
    {
        const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
        QDir(data + "/KESTREL").removeRecursively();
        const QString path = Model::configFilePath();
        QCOMPARE(path, data + "/KESTREL/config.dat");
        QVERIFY(QFileInfo(data + "/KESTREL").isDir());
        QVERIFY(!QFile::exists(path));
        Model m;
        m.userID = "kept";
        m.rewrite = true;
        QVERIFY(!m.load(path));
        QVERIFY(m.userID == "kept" && m.rewrite);
    }

    // Rows marked "saved" are written exactly so (over a longer old file, leaving
    // nothing else in the folder); every row reads back as its values.
    void configBytes_data()
    {
        QTest::addColumn<QString>("userID");
        QTest::addColumn<bool>("rewrite");
        QTest::addColumn<bool>("modify");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("saved");
        QTest::newRow("null id") << QString() << false << false << QByteArray::fromHex("ffffffff0000") << true;
        QTest::newRow("null id, modify") << QString() << false << true << QByteArray::fromHex("ffffffff0001") << true;
        QTest::newRow("empty id") << QString("") << true << false << QByteArray::fromHex("000000000100") << true;
        QTest::newRow("ascii id") << QString("ab") << false << true << QByteArray::fromHex("00000004006100620001") << true;
        QTest::newRow("non-ascii id") << QString::fromUtf8("\xc3\xa9\xe2\x82\xac") << true << true
                                      << QByteArray::fromHex("0000000400e920ac0101") << true;
        QTest::newRow("empty file") << QString() << false << false << QByteArray() << false;
        QTest::newRow("only the id") << QString("A") << false << false << QByteArray::fromHex("000000020041") << false;
        QTest::newRow("id and one flag") << QString("A") << true << false << QByteArray::fromHex("00000002004101") << false;
    }

    void configBytes()
    {
        QFETCH(QString, userID);
        QFETCH(bool, rewrite);
        QFETCH(bool, modify);
        QFETCH(bool, saved);
        QFETCH(QByteArray, bytes);
        QTemporaryDir dir;
        const QString path = dir.filePath("config.dat");
        if (saved) {
            QVERIFY(writeFile(path, QByteArray(100, 'x')));
            Model m;
            m.userID = userID;
            m.rewrite = rewrite;
            m.modifyTimeDate = modify;
            QVERIFY(m.save(path));
            QCOMPARE(readFile(path), bytes);
            QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList { "config.dat" });
        }

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

    void failedSaveKeepsOldFile_data()
    {
        QTest::addColumn<bool>("diskFull");
        QTest::newRow("read-only folder") << false;
        // A file-size limit of 4 bytes makes the write fail when the buffer is
        // flushed, as a full disk does.
        QTest::newRow("full disk") << true;
    }

    // The old settings survive a save that fails; no other file is left.
    void failedSaveKeepsOldFile()
    {
        QFETCH(bool, diskFull);
        QTemporaryDir dir;
        const QString path = dir.filePath("config.dat");
        const QByteArray old = QByteArray::fromHex("0000000200410100");
        QVERIFY(writeFile(path, old));
        Model m;
        m.userID = "a-much-longer-identifier";
        rlimit saved {};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit tiny = saved;
        tiny.rlim_cur = 4;
        if (diskFull)
            QCOMPARE(setrlimit(RLIMIT_FSIZE, &tiny), 0);
        else
            QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::ExeOwner);
        const bool written = m.save(path);
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previousHandler);
        QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        if (written && !diskFull)
            QSKIP("running with permission to write into read-only folders (root)");
        QVERIFY(!written);
        QCOMPARE(readFile(path), old);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList { "config.dat" });
        QVERIFY(!m.save(dir.filePath("missing/folder/config.dat")));
    }

    // The preferences live in their own INI file: defaults without it, a round
    // trip through it, and config.dat untouched by them.
    void preferences()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("settings.ini");
        QCOMPARE(Model::preferencesFilePath(), QFileInfo(Model::configFilePath()).absolutePath() + "/settings.ini");
        Model m;
        m.loadPreferences(path);
        QVERIFY(!m.includeSubfolders && !m.rawSidecars && !m.serviceOnNetwork);
        QVERIFY(m.writePlaceNames && !m.replacePlaceNames);
        m.includeSubfolders = m.serviceOnNetwork = m.windowMaximized = m.onlineMap = m.replacePlaceNames = true;
        m.writePlaceNames = false;
        QVERIFY(m.savePreferences(path));
        const QByteArray kept = "[geotagging]\nincludeSubfolders=true\nrawSidecars=false\nplaceNames=false\n"
                                "replacePlaceNames=true\n[service]\nnetwork=true\n"
                                "[map]\ntheme=openstreetmap\n";
        QCOMPARE(readFile(path), kept);
        m.windowGeometry = QRect(-20, 40, 900, 700);
        QVERIFY(m.savePreferences(path));
        QCOMPARE(readFile(path), kept + "[window]\ngeometry=-20,40,900,700\nmaximized=true\n");
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList { "settings.ini" });
        Model read;
        read.rawSidecars = true;
        read.loadPreferences(path);
        QVERIFY(read.includeSubfolders && !read.rawSidecars && read.serviceOnNetwork && read.onlineMap);
        QVERIFY(!read.writePlaceNames && read.replacePlaceNames);
        QCOMPARE(read.windowGeometry, QRect(-20, 40, 900, 700));
        QVERIFY(read.windowMaximized);
        // A geometry that is not four numbers is no geometry.
        writeFile(path, "[window]\ngeometry=1,2,x,4\n");
        Model broken;
        broken.loadPreferences(path);
        QVERIFY(!broken.windowGeometry.isValid() && !broken.onlineMap);
        QVERIFY(!m.savePreferences(dir.filePath("missing/folder/settings.ini")));
    }

    void baseUrlNormalization_data()
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

    void baseUrlNormalization()
    {
        QFETCH(QString, given);
        QTEST(Model::normalizedBaseUrl(given), "expected");
    }
};

QTEST_GUILESS_MAIN(TestModel)
#include "tst_model.moc"
