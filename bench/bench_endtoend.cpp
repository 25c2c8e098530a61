// Geotagging rate of the whole system: Kestrel's controller geotags a folder
// of generated photos against the real web service on a loopback port.
//
// Usage: bench_endtoend [PHOTOS] [WIDTH] [HEIGHT]   (defaults: 200 photos of 1600x1200)

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>

#include "controller/maincontroller.h"
#include "model/model.h"
#include "service/api.h"
#include "service/httpserver.h"
#include "service/store.h"
#include "service/timegeo.h"
#include "support/photos.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>

namespace {

constexpr int64_t start = 1784023200000LL; // 2026-07-14 10:00 UTC
constexpr int64_t cameraAhead = 3797000;   // 1 h 3 min 17 s

QString exifTime(int64_t wallMs)
{
    QString text = QString::fromStdString(service::formatWallClock(wallMs));
    text[4] = QLatin1Char(':');
    text[7] = QLatin1Char(':');
    return text;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", home.filePath("data").toUtf8());
    QApplication app(argc, argv);
    const int photos = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    const int width = argc > 2 ? std::max(16, std::atoi(argv[2])) : 1600;
    const int height = argc > 3 ? std::max(16, std::atoi(argv[3])) : 1200;
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
        if (type != QtDebugMsg)
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });

    QTemporaryDir dir;
    service::Store store;
    std::string error;
    if (!store.open(dir.filePath("service.db").toStdString(), &error)) {
        std::fprintf(stderr, "bench_endtoend: %s\n", error.c_str());
        return 1;
    }
    service::Api api(store, [] { return start; });
    const service::Reply phone = api.registerPhone(R"({"phoneName":"Bench phone"})");
    const std::string userId = phone.json["userID"];
    std::vector<service::Fix> fixes;
    for (int64_t t = start; t <= start + 24 * 3600000LL; t += 5000) {
        service::Fix fix;
        fix.time = t;
        fix.latitude = 48.1 + 0.02 * std::sin(t / 3.6e6);
        fix.longitude = 11.5 + 0.02 * std::cos(t / 3.6e6);
        fix.altitude = 520;
        fix.accuracy = 5;
        fix.zoneId = "Europe/Berlin";
        fixes.push_back(fix);
    }
    store.addFixes(store.userById(userId)->id, fixes);
    const std::string code = api.createPageCode("", "", true).json["syncID"];
    const nlohmann::json sync = { { "dateTimeOriginal", service::formatWallClock(start + cameraAhead) },
                                  { "elapsedTime", 0 }, { "model", "X-T3" }, { "serialNumber", "SN1234" },
                                  { "syncID", code }, { "userID", "" } };
    if (api.syncCamera(sync.dump()).status != 200) {
        std::fprintf(stderr, "bench_endtoend: cannot synchronize the camera\n");
        return 1;
    }
    service::HttpServer server(api);
    if (!server.bind("127.0.0.1", 0, &error)) {
        std::fprintf(stderr, "bench_endtoend: %s\n", error.c_str());
        return 1;
    }
    server.start();
    qputenv("KESTREL_SERVICE_URL", QByteArray("http://127.0.0.1:") + QByteArray::number(server.port()) + "/");

    QElapsedTimer timer;
    timer.start();
    const QString folder = dir.filePath("photos");
    QDir().mkpath(folder);
    for (int i = 0; i < photos; ++i) {
        const int64_t taken = start + 600000 + i * 37000LL;
        if (!testsupport::writePhoto(folder + QStringLiteral("/IMG%1.JPG").arg(i, 5, 10, QLatin1Char('0')),
                                     testsupport::texturedImage(width, height, i % 8 + 1),
                                     testsupport::cameraTags("X-T3", "SN1234", exifTime(taken + cameraAhead)))) {
            std::fprintf(stderr, "bench_endtoend: cannot write a photo\n");
            return 1;
        }
    }
    const double made = timer.elapsed() / 1000.0;
    const qint64 bytes = QFileInfo(folder + "/IMG00000.JPG").size();
    std::printf("%d photos of %dx%d (%lld bytes each) made in %.1f s\n", photos, width, height,
                static_cast<long long>(bytes), made);

    controller::MainController controller;
    controller.modelRef().userID = QString::fromStdString(userId);
    for (const bool rewrite : { false, true }) {
        model::Model& model = controller.modelRef();
        model.rewrite = rewrite;
        model.modifyTimeDate = true;
        controller.geocodePhotos(folder);
        timer.restart();
        controller.startGeocoding();
        const double seconds = timer.elapsed() / 1000.0;
        int ok = 0;
        for (const auto& result : model.photos)
            ok += result.success ? 1 : 0;
        std::printf("%-22s %5d photos, %5d tagged, %7.2f s, %8.1f photos/s\n",
                    rewrite ? "in place" : "copies in KESTREL/", photos, ok, seconds, photos / seconds);
        std::fflush(stdout);
    }
    server.stop();
    return 0;
}
