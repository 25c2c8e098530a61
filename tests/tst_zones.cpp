// The time zone of positions on both sides of borders and coasts, each a few
// hundred metres or more inside its zone, by the offsets their clocks show.

#include "service/tzlookup.h"

#include <QtTest>

namespace {

constexpr int64_t winter = 1768478400000LL; // 2026-01-15 12:00 UTC
constexpr int64_t summer = 1784116800000LL; // 2026-07-15 12:00 UTC

} // namespace

class TestZones : public QObject {
    Q_OBJECT

private slots:
    void offsets_data()
    {
        QTest::addColumn<double>("latitude");
        QTest::addColumn<double>("longitude");
        QTest::addColumn<int>("january"); // minutes east of UTC on 15 January 2026
        QTest::addColumn<int>("july");    // and on 15 July
        QTest::newRow("Tornio, Finland") << 65.848 << 24.160 << 120 << 180;
        QTest::newRow("Haparanda, Sweden") << 65.836 << 24.125 << 60 << 120;
        QTest::newRow("Tabatinga, Brazil") << -4.232 << -69.938 << -240 << -240;
        QTest::newRow("Leticia, Colombia") << -4.215 << -69.941 << -300 << -300;
        QTest::newRow("Nida, Lithuania") << 55.303 << 21.006 << 120 << 180;
        QTest::newRow("Rybachy, Russia") << 55.158 << 20.857 << 120 << 120;
        QTest::newRow("Panemune, Lithuania") << 55.090 << 21.920 << 120 << 180;
        QTest::newRow("Sovetsk, Russia") << 55.082 << 21.886 << 120 << 120;
        QTest::newRow("Varska, Estonia") << 57.958 << 27.636 << 120 << 180;
        QTest::newRow("Pechory, Russia") << 57.817 << 27.617 << 180 << 180;
        QTest::newRow("Blanc-Sablon, Quebec") << 51.426 << -57.131 << -240 << -240;
        QTest::newRow("L'Anse-au-Clair, Newfoundland and Labrador") << 51.430 << -57.066 << -210 << -150;
        QTest::newRow("Khasan, Russia") << 42.431 << 130.647 << 600 << 600;
        QTest::newRow("Tumen, North Korean bank") << 42.400 << 130.620 << 540 << 540;
        QTest::newRow("Tumen, Chinese bank") << 42.450 << 130.585 << 480 << 480;
        // Territorial waters belong to their country; between them is the sea.
        QTest::newRow("Gulf of Finland, Finnish waters") << 60.0 << 25.0 << 120 << 180;
        QTest::newRow("Gulf of Finland, open sea") << 59.8 << 25.0 << 120 << 120;
        QTest::newRow("Baltic off Nida, Lithuanian waters") << 55.30 << 20.95 << 120 << 180;
    }
    void offsets()
    {
        QFETCH(double, latitude);
        QFETCH(double, longitude);
        const std::string zone = service::zoneAt(latitude, longitude);
        QVERIFY2(service::isKnownZone(zone), zone.c_str());
        QTEST(service::zoneMoment(zone, winter).offsetSeconds / 60, "january");
        QTEST(service::zoneMoment(zone, summer).offsetSeconds / 60, "july");
    }

    // Every zone of the data is one the service knows, and the data reads
    // back as converted.
    void data()
    {
        const std::vector<std::string> zones = service::boundaryZones();
        QVERIFY2(zones.size() > 250, QByteArray::number(qulonglong(zones.size())));
        for (const std::string& zone : zones)
            QVERIFY2(service::isKnownZone(zone), zone.c_str());
        QVERIFY(std::is_sorted(zones.begin(), zones.end()));
        QVERIFY(service::zoneDataIntact());
        QCOMPARE(service::zoneAt(59.8, 25.0), std::string("Etc/GMT-2"));
    }
};

QTEST_GUILESS_MAIN(TestZones)
#include "tst_zones.moc"
