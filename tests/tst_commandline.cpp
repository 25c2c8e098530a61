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
    const auto row = [](const char* tag, QStringList arguments, CommandLine::Action action, QStringList paths,
                        QString error, bool windowless) {
        QTest::newRow(tag) << arguments << int(action) << paths << error << windowless;
    };
    const QString run = "Run \"kestrel --help\" for help.\n";
    const auto wrong = CommandLine::UsageError;
    row("nothing", {}, CommandLine::Window, {}, "", false);
    row("tracks", { "a.gpx", "./photos/../b.kml" }, CommandLine::ImportTracks, { "@/a.gpx", "@/b.kml" }, "", false);
    row("URL", { "file://@/a.gpx" }, CommandLine::ImportTracks, { "@/a.gpx" }, "", false);
    row("after --", { "--", "-n.gpx" }, CommandLine::ImportTracks, { "@/-n.gpx" }, "", false);
    row("folder", { "@/photos/" }, CommandLine::GeotagFolder, { "@/photos" }, "", false);
    row("help", { "a.gpx", "-h", "-x" }, CommandLine::Help, {}, "", true);
    row("version", { "--version", "-x" }, CommandLine::Version, {}, "", true);
    row("test", { "--test" }, CommandLine::SelfTest, {}, "", true);
    row("version later", { "a.gpx", "--version" }, wrong, {}, "kestrel: --version goes alone, as the first argument\n", true);
    row("unknown", { "-x" }, wrong, {}, "kestrel: unknown option -x\n" + run, true);
    row("unknown long", { "--frobnicate", "--help" }, wrong, {}, "kestrel: unknown option --frobnicate\n" + run, true);
    row("dash file", { "-n.gpx" }, wrong, {}, "kestrel: unknown option -n.gpx\n" + run, true);
    row("Qt's", { "--style=fusion" }, wrong, {}, "kestrel: unknown option --style=fusion\n" + run, false);
    row("missing", { "a.gpx", "c.gpx" }, wrong, {}, "kestrel: no such file or folder: \"c.gpx\"\n", true);
    row("empty", { "" }, wrong, {}, "kestrel: no such file or folder: \"\"\n", true);
    row("device", { "/dev/null" }, wrong, {}, "kestrel: \"/dev/null\" is neither a file nor a folder\n", true);
    row("mixed", { "a.gpx", "photos" }, wrong, {},
        "kestrel: either track files or one folder of photos: \"@/photos\" is a folder, \"@/a.gpx\" a file\n", true);
    row("two folders", { "photos", "file://@/more" }, wrong, {},
        "kestrel: one folder at a time: \"@/photos\" and \"@/more\" are both folders\n", true);
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

// The files go to the service in their order, as chosen in the window, once
// it answered whether it runs; the folder opens on the geotagging page, with
// its absolute path.
void TestCommandLine::handTo()
{
    controller::MainController controller;
    QSignalSpy finished(&controller, &controller::MainController::trackImportFinished);
    QSignalSpy geotagging(&controller, &controller::MainController::geotaggingRequested);
    CommandLine::parse({ "kestrel", "b.kml", "file://" + m_folder.filePath("a.gpx") }, m_folder.path()).handTo(controller);
    QTRY_COMPARE(finished.size(), 1);
    const QList<testsupport::HttpRequest> requests = m_service.requestsTo("/importTrack");
    QCOMPARE(requests.size(), 2);
    QCOMPARE(m_service.requestsTo("/serviceStatus").size(), 1);
    QCOMPARE(requests[0].body + '|' + requests[1].body, QByteArray("track b.kml|track a.gpx"));
    QCOMPARE(geotagging.size(), 0);
    CommandLine::parse({ "kestrel", "photos" }, m_folder.path()).handTo(controller);
    QCOMPARE(geotagging.size(), 1);
    QCOMPARE(geotagging[0][0].toString(), m_folder.filePath("photos/"));
    QCOMPARE(controller.currentScreen(), controller::GeotagReady);
}

QTEST_MAIN(TestCommandLine)
#include "tst_commandline.moc"
