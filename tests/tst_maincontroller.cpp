#include <QtTest>

#include <QFile>
#include <QSignalSpy>
#include <QTimer>

#include "controller/maincontroller.h"
#include "model/model.h"

using controller::MainController;
using controller::Screen;
using model::Model;

class TestMainController : public QObject {
    Q_OBJECT
private slots:
    void init();
    void startScreen_data();
    void startScreen();
    void navigation_data();
    void navigation();
    void previousEndsProgramOn_data();
    void previousEndsProgramOn();
    void synchronizationReport_data();
    void synchronizationReport();
    void settingsSaved();
};

void TestMainController::init()
{
    QFile::remove(Model::configFilePath());
}

void TestMainController::startScreen_data()
{
    QTest::addColumn<QString>("userID");
    QTest::addColumn<int>("screen");
    QTest::newRow("no user") << QString() << int(controller::HowTo1);
    QTest::newRow("user") << QString("abc") << int(controller::Menu);
}

void TestMainController::startScreen()
{
    QFETCH(QString, userID);
    QFETCH(int, screen);
    {
        Model stored;
        stored.userID = userID;
        QVERIFY(stored.save(Model::configFilePath()));
    }
    auto state = std::make_shared<Model>();
    MainController c(state);
    QCOMPARE(state->userID, userID);
    QStringList order;
    connect(&c, &MainController::screenChanged, this, [&](Screen s) { order << QString::number(int(s)); });
    connect(&c, &MainController::showMainWindow, this, [&](QRect, bool) { order << "show"; });
    c.start();
    QCOMPARE(order, (QStringList { QString::number(screen), "show" }));
}

void TestMainController::navigation_data()
{
    QTest::addColumn<bool>("user"); // a user when the program starts (Menu), or none (HowTo1)
    QTest::addColumn<QString>("steps"); // n next, p previous, s synchronize, g geotag, u a user from now on
    QTest::addColumn<QList<int>>("screens"); // every screen change, in order
    using namespace controller;
    QTest::newRow("how-to pages") << false << "nnpp" << QList<int> { HowTo2, HowTo3, HowTo2, HowTo1 };
    QTest::newRow("HowTo3 next, no user") << false << "nnn" << QList<int> { HowTo2, HowTo3, SynchronizeHowTo };
    QTest::newRow("HowTo3 next, user") << false << "nnun" << QList<int> { HowTo2, HowTo3, SynchronizeCameras };
    QTest::newRow("SynchronizeHowTo, no user")
        << false << "snsp" << QList<int> { SynchronizeHowTo, HowTo3, SynchronizeHowTo, HowTo3 };
    QTest::newRow("SynchronizeHowTo next, user") << false << "sun" << QList<int> { SynchronizeHowTo, Menu };
    QTest::newRow("SynchronizeHowTo previous, user") << false << "sup" << QList<int> { SynchronizeHowTo, Menu };
    QTest::newRow("Menu next") << true << "n" << QList<int>();
    // No folder is chosen, so GeotagReady cannot be reached.
    QTest::newRow("GeotagSelectFolder next") << true << "gn" << QList<int> { GeotagSelectFolder };
    QTest::newRow("GeotagSelectFolder previous") << true << "gp" << QList<int> { GeotagSelectFolder, Menu };
}

void TestMainController::navigation()
{
    QFETCH(bool, user);
    QFETCH(QString, steps);
    QFETCH(QList<int>, screens);
    auto state = std::make_shared<Model>();
    MainController c(state);
    state->userID = user ? QString("u") : QString();
    c.start();
    QList<int> changes;
    connect(&c, &MainController::screenChanged, this, [&changes](Screen screen) { changes << int(screen); });
    for (const QChar step : steps) {
        if (step == 'n')
            c.toNextScreen();
        else if (step == 'p')
            c.toPreviousScreen();
        else if (step == 's')
            c.toSynchronizeCamera();
        else if (step == 'g')
            c.toGeotagPhotos();
        else
            state->userID = "u";
    }
    QCOMPARE(changes, screens);
    QCOMPARE(int(c.currentScreen()), screens.isEmpty() ? int(controller::Menu) : screens.last());
}

void TestMainController::previousEndsProgramOn_data()
{
    QTest::addColumn<QString>("userID");
    QTest::newRow("HowTo1") << QString();
    QTest::newRow("Menu") << QString("u");
}

void TestMainController::previousEndsProgramOn()
{
    QFETCH(QString, userID);
    {
        Model stored;
        stored.userID = userID;
        QVERIFY(stored.save(Model::configFilePath()));
    }
    MainController c;
    c.start();
    QSignalSpy screens(&c, &MainController::screenChanged);
    QTimer::singleShot(0, &c, &MainController::toPreviousScreen);
    QTimer::singleShot(5000, &c, [] { QCoreApplication::exit(99); }); // a guard
    QCOMPARE(QCoreApplication::exec(), 0);
    QCOMPARE(screens.count(), 0);
}

void TestMainController::synchronizationReport_data()
{
    QTest::addColumn<bool>("again");
    QTest::addColumn<bool>("known"); // the offset
    QTest::addColumn<qint64>("offset");
    QTest::addColumn<QString>("source"); // the answer's zoneSource, then its zone's name
    QTest::addColumn<QString>("zone");
    QTest::addColumn<QString>("report");
    const QString cet = "Central European Standard Time";
    const QString atPhone = "\nagainst the local time at the phone's position (" + cet + ")";
    QTest::newRow("unknown offset") << false << false << qint64(0) << "phone" << cet << "X: synchronized";
    QTest::newRow("right") << true << true << qint64(0) << "phone" << cet
                           << "X (synchronized again): clock right to the second" + atPhone;
    QTest::newRow("1 s") << false << true << qint64(1) << "computer" << "Greenwich Mean Time"
                         << "X: clock 1 s ahead\nagainst this computer's time zone (Greenwich Mean Time)";
    QTest::newRow("59 s, zone unnamed") << false << true << qint64(-59) << "computer" << ""
                                        << "X: clock 59 s behind\nagainst this computer's time zone";
    QTest::newRow("1 min") << false << true << qint64(60) << "phone" << cet << "X: clock 1 min ahead" + atPhone;
    QTest::newRow("59 min 59 s, no source") << false << true << qint64(3599) << "" << cet << "X: clock 59 min 59 s ahead";
    QTest::newRow("1 h, unknown source") << false << true << qint64(-3600) << "moon" << cet << "X: clock 1 h behind";
    QTest::newRow("1 h 1 s") << false << true << qint64(3601) << "" << "" << "X: clock 1 h 1 s ahead";
    QTest::newRow("2 h 1 min") << false << true << qint64(7260) << "" << "" << "X: clock 2 h 1 min ahead";
    QTest::newRow("26 h 3 min 7 s") << false << true << qint64(-93787) << "" << "" << "X: clock 26 h 3 min 7 s behind";
}

// The clock offset told after a synchronization, in whole hours, minutes and
// seconds, each left out when zero, and below it the zone it is measured in.
void TestMainController::synchronizationReport()
{
    QFETCH(bool, again);
    QFETCH(bool, known);
    QFETCH(qint64, offset);
    QFETCH(QString, source);
    QFETCH(QString, zone);
    QTEST(MainController::synchronizationReport("X", again, known, offset, source, zone), "report");
}

// The settings are saved when their dialog has returned, and once more when
// the controller goes.
void TestMainController::settingsSaved()
{
    {
        auto state = std::make_shared<Model>();
        MainController c(state);
        c.start();
        bool savedBeforeDialogReturned = true;
        connect(&c, &MainController::showSettings, this, [&](Model& m) {
            m.rewrite = true;
            m.modifyTimeDate = true;
            savedBeforeDialogReturned = QFile::exists(Model::configFilePath());
        });
        c.toSettings();
        QVERIFY(!savedBeforeDialogReturned);
        Model read;
        QVERIFY(read.load(Model::configFilePath()));
        QVERIFY(read.rewrite && read.modifyTimeDate);
        state->userID = "saved-at-exit";
    }
    Model read;
    QVERIFY(read.load(Model::configFilePath()));
    QCOMPARE(read.userID, QString("saved-at-exit"));
}

QTEST_MAIN(TestMainController)
#include "tst_maincontroller.moc"
