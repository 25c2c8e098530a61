// The desktop program's arguments: what they ask for, the messages of wrong
// ones, and the files or the folder reaching the controller.

#include <QtTest>

#include "controller/commandline.h"
#include "controller/maincontroller.h"
#include "support/fakeservice.h"
#include "support/files.h"

using controller::CommandLine;

class TestCommandLine : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void parse_data();
    void parse();
    void handTo_data();
    void handTo();

private:
    QTemporaryDir m_folder; // a.gpx, b.kml, -n.gpx, photos/, more/
    testsupport::FakeService m_service;
};

void TestCommandLine::initTestCase()
{
    for (const char* name : { "a.gpx", "b.kml", "-n.gpx" })
        QVERIFY(testsupport::writeFile(m_folder.filePath(name), QByteArray("track ") + name));
    QVERIFY(QDir(m_folder.path()).mkpath("photos") && QDir(m_folder.path()).mkpath("more"));
    QVERIFY(m_service.listen());
    qputenv("KESTREL_SERVICE_URL", m_service.baseUrl().toUtf8());
}

// In the arguments, the paths and the message "@" stands for the test's folder.
void TestCommandLine::parse_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("action");
    QTest::addColumn<QStringList>("paths");
    QTest::addColumn<QString>("error");
    QTest::addColumn<bool>("windowless");
    const QString run = "Run \"kestrel --help\" for help.\n";
    QTest::newRow("nothing") << QStringList() << int(CommandLine::Window) << QStringList() << "" << false;
    QTest::newRow("tracks") << QStringList { "a.gpx", "./photos/../b.kml" } << int(CommandLine::ImportTracks)
                            << QStringList { "@/a.gpx", "@/b.kml" } << "" << false;
    QTest::newRow("URL") << QStringList { "file://@/a.gpx" } << int(CommandLine::ImportTracks) << QStringList { "@/a.gpx" } << "" << false;
    QTest::newRow("after --") << QStringList { "--", "-n.gpx" } << int(CommandLine::ImportTracks) << QStringList { "@/-n.gpx" } << "" << false;
    QTest::newRow("folder") << QStringList { "@/photos/" } << int(CommandLine::GeotagFolder) << QStringList { "@/photos" } << "" << false;
    QTest::newRow("help") << QStringList { "a.gpx", "-h", "-x" } << int(CommandLine::Help) << QStringList() << "" << true;
    QTest::newRow("version") << QStringList { "--version", "-x" } << int(CommandLine::Version) << QStringList() << "" << true;
    QTest::newRow("test") << QStringList { "--test" } << int(CommandLine::SelfTest) << QStringList() << "" << true;
    QTest::newRow("version later") << QStringList { "a.gpx", "--version" } << int(CommandLine::UsageError) << QStringList()
                                   << "kestrel: --version goes alone, as the first argument\n" << true;
    QTest::newRow("unknown") << QStringList { "-x" } << int(CommandLine::UsageError) << QStringList()
                             << "kestrel: unknown option -x\n" + run << true;
    QTest::newRow("unknown long") << QStringList { "--frobnicate", "--help" } << int(CommandLine::UsageError) << QStringList()
                                  << "kestrel: unknown option --frobnicate\n" + run << true;
    QTest::newRow("dash file") << QStringList { "-n.gpx" } << int(CommandLine::UsageError) << QStringList()
                               << "kestrel: unknown option -n.gpx\n" + run << true;
    QTest::newRow("Qt's") << QStringList { "--style=fusion" } << int(CommandLine::UsageError) << QStringList()
                          << "kestrel: unknown option --style=fusion\n" + run << false;
    QTest::newRow("missing") << QStringList { "a.gpx", "c.gpx" } << int(CommandLine::UsageError) << QStringList()
                             << "kestrel: no such file or folder: \"c.gpx\"\n" << true;
    QTest::newRow("empty") << QStringList { "" } << int(CommandLine::UsageError) << QStringList()
                           << "kestrel: no such file or folder: \"\"\n" << true;
    QTest::newRow("device") << QStringList { "/dev/null" } << int(CommandLine::UsageError) << QStringList()
                            << "kestrel: \"/dev/null\" is neither a file nor a folder\n" << true;
    QTest::newRow("mixed") << QStringList { "a.gpx", "photos" } << int(CommandLine::UsageError) << QStringList()
                           << "kestrel: either track files or one folder of photos: \"@/photos\" is a folder, \"@/a.gpx\" a file\n" << true;
    QTest::newRow("two folders") << QStringList { "photos", "file://@/more" } << int(CommandLine::UsageError) << QStringList()
                                 << "kestrel: one folder at a time: \"@/photos\" and \"@/more\" are both folders\n" << true;
}

void TestCommandLine::parse()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, paths);
    QFETCH(QString, error);
    arguments.replaceInStrings("@", m_folder.path()).prepend("kestrel");
    const CommandLine line = CommandLine::parse(arguments, m_folder.path());
    QTEST(int(line.action()), "action");
    QCOMPARE(line.paths(), paths.replaceInStrings("@", m_folder.path()));
    QCOMPARE(line.error(), error.replace("@", m_folder.path()));
    QTEST(CommandLine::windowless(arguments, m_folder.path()), "windowless");
}

// The files go to the service in their order, as chosen in the window; the
// folder opens on the geotagging page, with its absolute path.
void TestCommandLine::handTo_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("sent");
    QTest::addColumn<QString>("folder");
    QTest::newRow("tracks") << QStringList { "b.kml", "file://@/a.gpx" } << QStringList { "track b.kml", "track a.gpx" } << "";
    QTest::newRow("folder") << QStringList { "photos" } << QStringList() << "@/photos/";
}

void TestCommandLine::handTo()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, sent);
    QFETCH(QString, folder);
    m_service.reset();
    controller::MainController controller;
    QSignalSpy finished(&controller, &controller::MainController::trackImportFinished);
    QSignalSpy geotagging(&controller, &controller::MainController::geotaggingRequested);
    arguments.replaceInStrings("@", m_folder.path()).prepend("kestrel");
    CommandLine::parse(arguments, m_folder.path()).handTo(controller);
    QTRY_COMPARE(finished.size(), sent.isEmpty() ? 0 : 1);
    QStringList bodies;
    for (const testsupport::HttpRequest& request : m_service.requestsTo("/importTrack"))
        bodies << request.body;
    QCOMPARE(bodies, sent);
    QCOMPARE(geotagging.size(), folder.isEmpty() ? 0 : 1);
    if (!folder.isEmpty()) {
        QCOMPARE(geotagging[0][0].toString(), folder.replace("@", m_folder.path()));
        QCOMPARE(controller.currentScreen(), controller::GeotagReady);
    }
}

QTEST_MAIN(TestCommandLine)
#include "tst_commandline.moc"
