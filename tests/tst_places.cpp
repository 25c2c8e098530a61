// The place names of positions chosen by hand across the continents: both
// sides of borders, islands, names beyond ASCII, sections of cities, the sea
// and the poles, with the texts the gazetteer and ISO 3166-1 give them.

#include "service/places.h"

#include <QtTest>

#include <cmath>
#include <limits>

class TestPlaces : public QObject {
    Q_OBJECT

private slots:
    void names_data()
    {
        QTest::addColumn<double>("latitude");
        QTest::addColumn<double>("longitude");
        QTest::addColumn<QString>("city");
        QTest::addColumn<QString>("sublocation");
        QTest::addColumn<QString>("region");
        QTest::addColumn<QString>("country"); // empty: no place at all
        QTest::addColumn<QString>("code");
        const auto row = [](const char* name, double latitude, double longitude, const char* city, const char* region,
                            const char* country, const char* code, const char* sublocation = "") {
            QTest::newRow(name) << latitude << longitude << QString::fromUtf8(city) << QString::fromUtf8(sublocation)
                                << QString::fromUtf8(region) << QString::fromUtf8(country) << QString(code);
        };
        // Both sides of borders, each a few hundred metres inside its country.
        row("Tornio", 65.848, 24.160, "Tornio", "Lapland", "Finland", "FI");
        row("Haparanda", 65.836, 24.125, "Haparanda", "Norrbotten", "Sweden", "SE");
        // Gibraltar's land lies within Spain's too: the smaller territory is the answer.
        row("Gibraltar", 36.140, -5.353, "Gibraltar", "", "Gibraltar", "GI");
        row("La Línea", 36.165, -5.345, "La Línea de la Concepción", "Andalusia", "Spain", "ES");
        row("Strasbourg", 48.583, 7.745, "Strasbourg", "Grand Est", "France", "FR");
        row("Kehl", 48.573, 7.815, "Kehl", "Baden-Wurttemberg", "Germany", "DE");
        row("El Paso", 31.758, -106.487, "El Paso", "Texas", "United States", "US");
        row("Ciudad Juárez", 31.690, -106.424, "Juárez", "Chihuahua", "Mexico", "MX");
        row("Basel", 47.558, 7.573, "Basel", "Basel-City", "Switzerland", "CH");
        row("Weil am Rhein", 47.593, 7.621, "Weil am Rhein", "Baden-Wurttemberg", "Germany", "DE");
        row("Tabatinga", -4.232, -69.938, "Tabatinga", "Amazonas", "Brazil", "BR");
        row("Leticia", -4.215, -69.941, "Leticia", "Amazonas Department", "Colombia", "CO");
        row("Narva", 59.377, 28.190, "Narva", "Ida-Virumaa", "Estonia", "EE");
        row("Ivangorod", 59.372, 28.215, "Ivangorod", "Leningradskaya Oblast'", "Russian Federation", "RU");
        row("Görlitz", 51.155, 14.985, "Görlitz", "Saxony", "Germany", "DE");
        row("Zgorzelec", 51.150, 15.010, "Zgorzelec", "Lower Silesia", "Poland", "PL");
        row("Valga", 57.777, 26.047, "Valga", "Valgamaa", "Estonia", "EE");
        row("Valka", 57.775, 26.020, "Valka", "Valka", "Latvia", "LV");
        row("Detroit", 42.331, -83.046, "Detroit", "Michigan", "United States", "US");
        row("Windsor", 42.300, -83.030, "Windsor", "Ontario", "Canada", "CA");
        row("Nogales, Arizona", 31.335, -110.94, "Nogales", "Arizona", "United States", "US");
        row("Nogales, Sonora", 31.31, -110.94, "Nogales", "Sonora", "Mexico", "MX");
        // Enclaves.
        row("Vatican City", 41.9029, 12.4534, "Vatican City", "", "Holy See (Vatican City State)", "VA");
        row("Maseru", -29.31, 27.48, "Maseru", "Maseru District", "Lesotho", "LS");
        // Islands.
        row("Reykjavík", 64.146, -21.94, "Reykjavík", "Capital Region", "Iceland", "IS");
        row("Hobart", -42.88, 147.33, "Hobart", "Tasmania", "Australia", "AU");
        row("Palma", 39.57, 2.65, "Palma", "Balearic Islands", "Spain", "ES");
        row("Honolulu", 21.31, -157.86, "Honolulu", "Hawaii", "United States", "US");
        row("Nuuk", 64.18, -51.72, "Nuuk", "Sermersooq", "Greenland", "GL");
        row("Victoria, Seychelles", -4.62, 55.45, "Victoria", "La Rivière Anglaise", "Seychelles", "SC");
        row("Singapore", 1.29, 103.85, "Singapore", "", "Singapore", "SG");
        // Names beyond ASCII; the gazetteer writes Tokyo in Latin letters.
        row("São Paulo", -23.5475, -46.63611, "São Paulo", "São Paulo", "Brazil", "BR");
        row("Kraków", 50.06143, 19.93658, "Kraków", "Lesser Poland", "Poland", "PL");
        row("Zürich", 47.36667, 8.55, "Zürich", "Zurich", "Switzerland", "CH");
        row("Tokyo", 35.6895, 139.69171, "Tokyo", "Tokyo", "Japan", "JP");
        row("Istanbul", 41.01, 28.97, "Istanbul", "Istanbul", "Türkiye", "TR", "Eminönü");
        // Sections: the city they belong to, not the larger town next door.
        row("Berlin Mitte", 52.52003, 13.40489, "Berlin", "State of Berlin", "Germany", "DE", "Mitte");
        row("Spandau, by Falkensee", 52.5511, 13.19921, "Berlin", "State of Berlin", "Germany", "DE", "Spandau");
        row("Manila", 14.60, 120.98, "Manila", "National Capital Region", "Philippines", "PH", "Quiapo");
        // Other continents.
        row("Buenos Aires", -34.60, -58.38, "Buenos Aires", "Buenos Aires F.D.", "Argentina", "AR");
        row("Cape Town", -33.92, 18.42, "Cape Town", "Western Cape", "South Africa", "ZA");
        row("Dar es Salaam", -6.80, 39.28, "Dar es Salaam", "Dar es Salaam Region", "Tanzania, United Republic of", "TZ");
        row("Beijing", 39.90, 116.40, "Beijing", "Beijing", "China", "CN");
        row("Anchorage", 61.22, -149.90, "Anchorage", "Alaska", "United States", "US");
        // The sea off a coast and land far from any place: the country alone.
        row("off Nice", 43.66, 7.25, "", "", "France", "FR");
        row("inland Greenland", 72.0, -40.0, "", "", "Greenland", "GL");
        row("South Pole", -90, 0, "", "", "Antarctica", "AQ");
        row("south of the data's edge", -86, 120, "", "", "Antarctica", "AQ");
        // The open sea: nothing.
        row("mid-Atlantic", 0, -30, "", "", "", "");
        row("North Pole", 90, 0, "", "", "", "");
    }
    void names()
    {
        QFETCH(double, latitude);
        QFETCH(double, longitude);
        QFETCH(QString, country);
        const auto place = service::placeAt(latitude, longitude);
        QCOMPARE(place.has_value(), !country.isEmpty());
        if (!place)
            return;
        const auto text = [](std::string_view view) { return QString::fromUtf8(view.data(), int(view.size())); };
        QTEST(text(place->city), "city");
        QTEST(text(place->sublocation), "sublocation");
        QTEST(text(place->region), "region");
        QCOMPARE(text(place->country), country);
        QTEST(text(place->countryCode), "code");
        if (place->city.empty())
            QCOMPARE(place->distance, 0);
    }

    // Metres to the nearest place, the section when there is one: a
    // thousandth of a degree of latitude is 111.195 m on the mean sphere.
    void distance_data()
    {
        QTest::addColumn<double>("latitude");
        QTest::addColumn<double>("longitude");
        QTest::addColumn<QString>("city");
        QTest::addColumn<int>("metres");
        QTest::newRow("on Kraków") << 50.06143 << 19.93658 << "Kraków" << 0;
        QTest::newRow("9/1000 degree north of Kraków") << 50.07043 << 19.93658 << "Kraków" << 1001;
        QTest::newRow("9/1000 degree south of Mitte") << 52.51103 << 13.40489 << "Berlin" << 1001;
    }
    void distance()
    {
        QFETCH(double, latitude);
        QFETCH(double, longitude);
        const auto place = service::placeAt(latitude, longitude);
        QVERIFY(place);
        QTEST(QString::fromUtf8(place->city.data(), int(place->city.size())), "city");
        QTEST(place->distance, "metres");
    }

    void notPositions_data()
    {
        QTest::addColumn<double>("latitude");
        QTest::addColumn<double>("longitude");
        const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
        QTest::newRow("NaN") << nan << 10.0;
        QTest::newRow("infinite longitude") << 48.0 << inf;
        QTest::newRow("latitude 90.5") << 90.5 << 0.0;
        QTest::newRow("longitude -180.01") << 10.0 << -180.01;
    }
    void notPositions()
    {
        QFETCH(double, latitude);
        QFETCH(double, longitude);
        QVERIFY(!service::placeAt(latitude, longitude));
    }

    void data() { QVERIFY(service::placeDataIntact()); }
};

QTEST_GUILESS_MAIN(TestPlaces)
#include "tst_places.moc"
