// Geotagging rate of the whole system: Kestrel's controller geotags a folder
// of generated photos against the real web service on a loopback port, beside
// `cp -r` of the same folder and, when the exiv2 command line is installed,
// exiv2 writing a position into copies of the folder in place. Contenders take
// turns within each round, so a busy machine slows all of them alike; the
// figures are medians over the rounds, the ratios taken within each round.
// Kestrel's times include flushing what it wrote to the disk; cp and exiv2 do
// not flush, so they are timed both alone and to the end of a sync after them
// ("flushed"), which shows what the disk itself costs. Kestrel's runs also
// show the processor time of the controller's thread per photo, and with
// several counts the growth of every contender's time from the first count.
//
// Usage: bench_endtoend [--photos N,N,...] [--size WxH] [--rounds R]
//   (defaults: 500 and 2000 photos of 2000x1500, 3 rounds)
//
// "plain service" is a bare HTTP server that answers "geocodeImage" from the
// same database but without the service's socket tuning: it shows what the
// client alone does against a server that delays its acknowledgements.

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>

#include "controller/maincontroller.h"
#include "model/model.h"
#include "service/api.h"
#include "service/httpserver.h"
#include "service/store.h"
#include "service/timegeo.h"
#include "support/photos.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <thread>

#include <unistd.h>

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

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

bool run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, arguments);
    return process.waitForFinished(-1) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// A folder of `count` photos; eight pictures are encoded once and each photo
// is one of them with its own capture time.
bool makePhotos(const QString& folder, int count, int width, int height)
{
    QDir().mkpath(folder);
    for (int i = 0; i < count; ++i) {
        const int64_t taken = start + 600000 + i * 37000LL;
        const QString path = folder + QStringLiteral("/IMG%1.JPG").arg(i, 5, 10, QLatin1Char('0'));
        const auto tags = testsupport::cameraTags("X-T3", "SN1234", exifTime(taken + cameraAhead));
        const QString model = folder + QStringLiteral("/../model%1.jpg").arg(i % 8);
        if (i < 8 && !testsupport::writePhoto(model, testsupport::texturedImage(width, height, i % 8 + 1)))
            return false;
        if (!QFile::copy(model, path) || !testsupport::setExif(path, tags))
            return false;
    }
    return true;
}

// Reads every file of the folder (untimed), so that a contender finds its
// photos in memory, as after the one that made them: with 2,000 photos the
// folders together outgrow the memory, and whichever was written last would
// otherwise be the only one read from memory.
void warm(const QString& folder)
{
    std::vector<char> buffer(1 << 20);
    for (const QString& name : QDir(folder).entryList(QDir::Files)) {
        QFile file(folder + QLatin1Char('/') + name);
        if (file.open(QIODevice::ReadOnly))
            while (file.read(buffer.data(), qint64(buffer.size())) > 0) {
            }
    }
}

// CPU seconds the calling thread has used so far.
double threadCpuSeconds()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + now.tv_nsec / 1e9;
}

// Kestrel geotags the folder; seconds, the tagged count through tagged, and
// through cpu the processor time of the thread that runs the controller
// (the service answers on threads of its own), which grows with the work
// Kestrel does itself and not with how long the disk makes it wait.
double geotag(controller::MainController& controller, model::Model& model, const QString& folder, bool inPlace,
              int* tagged, double* cpu)
{
    model.rewrite = inPlace;
    model.modifyTimeDate = true;
    controller.geotagPhotos(folder);
    QElapsedTimer timer;
    timer.start();
    const double cpuBefore = threadCpuSeconds();
    controller.startGeotagging();
    const double seconds = timer.nsecsElapsed() / 1e9;
    *cpu = threadCpuSeconds() - cpuBefore;
    *tagged = 0;
    QString firstFailure;
    for (const auto& result : model.photos) {
        *tagged += result.success ? 1 : 0;
        if (!result.success && firstFailure.isEmpty())
            firstFailure = result.errorTitle + QStringLiteral(": ") + result.errorText;
    }
    if (!firstFailure.isEmpty())
        std::printf("  first failure: %s\n", qPrintable(firstFailure));
    return seconds;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", home.filePath("data").toUtf8());
    QApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    auto option = [&](const char* name, const QString& fallback) {
        const int at = arguments.indexOf(QLatin1String(name));
        return at > 0 ? arguments.value(at + 1) : fallback;
    };
    QList<int> counts;
    for (const QString& count : option("--photos", QStringLiteral("500,2000")).split(QLatin1Char(',')))
        counts.append(std::max(1, count.toInt()));
    const QStringList size = option("--size", QStringLiteral("2000x1500")).split(QLatin1Char('x'));
    const int width = std::max(16, size.value(0).toInt());
    const int height = std::max(16, size.value(1).toInt());
    const int rounds = std::max(1, option("--rounds", QStringLiteral("3")).toInt());
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
    // The service's clock stands at the synchronization, then past the day of
    // positions once the photos are asked for.
    std::atomic<int64_t> clock { start };
    service::Api api(store, [&clock] { return clock.load(); });
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
    clock = start + 25 * 3600000LL;
    // The program reads the service's address once, so both services take
    // turns on one port: the real one, then the plain one, each started anew.
    int port = 0;
    {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost)) {
            std::fprintf(stderr, "bench_endtoend: no free loopback port\n");
            return 1;
        }
        port = probe.serverPort();
    }
    qputenv("KESTREL_SERVICE_URL", QByteArray("http://127.0.0.1:") + QByteArray::number(port) + "/");
    // Runs work while the real service (plain false) or the plain one
    // answers; false when that service cannot listen.
    bool serviceFailed = false;
    auto withService = [&](bool plain, const std::function<void()>& work) {
        if (!plain) {
            service::HttpServer server(api);
            // The port may still be held for a moment by the last service's connections.
            for (int attempt = 0; attempt < 100 && !server.bind("127.0.0.1", port, &error); ++attempt)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (server.port() != port) {
                std::fprintf(stderr, "bench_endtoend: %s\n", error.c_str());
                serviceFailed = true;
                return;
            }
            server.start();
            work();
            server.stop();
            return;
        }
        httplib::Server server;
        // The library's default (SO_REUSEPORT alone) would leave the port
        // blocked for the real service while its connections linger.
        server.set_socket_options([](socket_t sock) {
            int yes = 1;
            setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        });
        server.Put("/geocodeImage", [&api](const httplib::Request& request, httplib::Response& response) {
            const service::Reply reply = api.geocodeImage(request.body);
            response.status = reply.status;
            response.set_content(reply.text(), "application/json");
        });
        bool bound = false;
        for (int attempt = 0; attempt < 100 && !(bound = server.bind_to_port("127.0.0.1", port)); ++attempt)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!bound) {
            std::fprintf(stderr, "bench_endtoend: the plain service cannot listen on port %d\n", port);
            serviceFailed = true;
            return;
        }
        std::thread thread([&server] { server.listen_after_bind(); });
        while (!server.is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        work();
        server.stop();
        thread.join();
    };

    const QString exiv2 = QStandardPaths::findExecutable(QStringLiteral("exiv2"));
    if (exiv2.isEmpty())
        std::printf("exiv2 command line not installed: its contender is left out\n");

    std::map<QString, std::vector<double>> medians; // per contender, one per count
    for (const int photos : counts) {
        const QString folder = dir.filePath(QStringLiteral("photos%1").arg(photos));
        QElapsedTimer timer;
        timer.start();
        if (!makePhotos(folder, photos, width, height)) {
            std::fprintf(stderr, "bench_endtoend: cannot write a photo\n");
            return 1;
        }
        std::printf("\n%d photos of %dx%d (%lld bytes each) made in %.1f s; %d rounds\n", photos, width, height,
                    static_cast<long long>(QFileInfo(folder + "/IMG00000.JPG").size()), timer.elapsed() / 1000.0,
                    rounds);
        std::fflush(stdout);

        std::map<QString, std::vector<double>> seconds;
        std::map<QString, std::vector<double>> cpuSeconds;
        std::map<QString, std::vector<double>> ratios;
        for (int round = 0; round < rounds; ++round) {
            const QString copyA = dir.filePath(QStringLiteral("copyA"));
            const QString copyB = dir.filePath(QStringLiteral("copyB"));
            std::map<QString, double> times;
            double cpu = 0;
            auto note = [&](const QString& name, double s, int tagged) {
                times[name] = s;
                seconds[name].push_back(s);
                if (name.startsWith(QLatin1String("Kestrel")))
                    cpuSeconds[name].push_back(cpu);
                if (tagged >= 0 && tagged != photos)
                    std::printf("  %s tagged only %d of %d\n", qPrintable(name), tagged, photos);
            };
            // Contenders in turn, each on a folder of its own. Each starts
            // with nothing of another's left to write to the disk (untimed),
            // so that Kestrel, which flushes what it wrote before it reports
            // a run done, never waits for another contender's data.
            // "flushed" contenders are timed to the end of a sync after them.
            ::sync();
            warm(folder);
            timer.restart();
            run(QStringLiteral("cp"), { QStringLiteral("-r"), folder, copyA });
            note(QStringLiteral("cp -r"), timer.nsecsElapsed() / 1e9, -1);
            ::sync();
            note(QStringLiteral("cp -r, flushed"), timer.nsecsElapsed() / 1e9, -1);
            run(QStringLiteral("cp"), { QStringLiteral("-r"), folder, copyB });
            ::sync();
            int tagged = 0;
            withService(false, [&] {
                auto state = std::make_shared<model::Model>();
                controller::MainController controller(state);
                state->userID = QString::fromStdString(userId);
                warm(folder);
                double s = geotag(controller, *state, folder, false, &tagged, &cpu);
                note(QStringLiteral("Kestrel copies, service"), s, tagged);
                QDir(folder + QStringLiteral("/KESTREL")).removeRecursively();
                ::sync();
                warm(copyA);
                s = geotag(controller, *state, copyA, true, &tagged, &cpu);
                note(QStringLiteral("Kestrel in place, service"), s, tagged);
                ::sync();
            });
            if (!exiv2.isEmpty()) {
                QStringList arguments = { QStringLiteral("-M"), QStringLiteral("set Exif.GPSInfo.GPSLatitudeRef N"),
                                          QStringLiteral("-M"), QStringLiteral("set Exif.GPSInfo.GPSLatitude 48/1 6/1 0/1"),
                                          QStringLiteral("-M"), QStringLiteral("set Exif.GPSInfo.GPSLongitudeRef E"),
                                          QStringLiteral("-M"), QStringLiteral("set Exif.GPSInfo.GPSLongitude 11/1 30/1 0/1"),
                                          QStringLiteral("mo") };
                for (const QString& name : QDir(copyB).entryList(QDir::Files))
                    arguments.append(copyB + QLatin1Char('/') + name);
                warm(copyB);
                timer.restart();
                run(exiv2, arguments);
                note(QStringLiteral("exiv2 in place"), timer.nsecsElapsed() / 1e9, -1);
                ::sync();
                note(QStringLiteral("exiv2 in place, flushed"), timer.nsecsElapsed() / 1e9, -1);
            }
            ::sync();
            withService(true, [&] {
                auto state = std::make_shared<model::Model>();
                controller::MainController controller(state);
                state->userID = QString::fromStdString(userId);
                warm(folder);
                const double s = geotag(controller, *state, folder, false, &tagged, &cpu);
                note(QStringLiteral("Kestrel copies, plain service"), s, tagged);
                QDir(folder + QStringLiteral("/KESTREL")).removeRecursively();
            });
            QDir(copyA).removeRecursively();
            QDir(copyB).removeRecursively();
            if (serviceFailed)
                return 1;
            for (const auto& entry : times) {
                if (!entry.first.startsWith(QLatin1String("Kestrel")))
                    continue;
                ratios[entry.first + QStringLiteral(" / cp")].push_back(entry.second / times[QStringLiteral("cp -r")]);
                ratios[entry.first + QStringLiteral(" / cp flushed")].push_back(
                    entry.second / times[QStringLiteral("cp -r, flushed")]);
                if (times.count(QStringLiteral("exiv2 in place")) && entry.first.startsWith(QLatin1String("Kestrel in place"))) {
                    ratios[entry.first + QStringLiteral(" / exiv2")].push_back(
                        entry.second / times[QStringLiteral("exiv2 in place")]);
                    ratios[entry.first + QStringLiteral(" / exiv2 flushed")].push_back(
                        entry.second / times[QStringLiteral("exiv2 in place, flushed")]);
                }
            }
        }
        std::printf("%-32s %9s %10s %12s\n", "contender", "median s", "photos/s", "cpu ms/photo");
        for (const auto& entry : seconds) {
            const double s = median(entry.second);
            medians[entry.first].push_back(s);
            if (cpuSeconds.count(entry.first))
                std::printf("%-32s %9.2f %10.1f %12.2f\n", qPrintable(entry.first), s, photos / s,
                            1000 * median(cpuSeconds[entry.first]) / photos);
            else
                std::printf("%-32s %9.2f %10.1f\n", qPrintable(entry.first), s, photos / s);
        }
        std::printf("%-42s %8s\n", "ratio (within each round)", "median");
        for (const auto& entry : ratios)
            std::printf("%-42s %8.2f\n", qPrintable(entry.first), median(entry.second));
        std::fflush(stdout);
        QDir(folder).removeRecursively();
    }
    // How each contender's time grows with the run's size, against the first count.
    if (counts.size() > 1) {
        std::printf("\n%-32s", "growth of the median time");
        for (int i = 1; i < counts.size(); ++i)
            std::printf(" %6d/%d", counts[i], counts[0]);
        std::printf("\n");
        for (const auto& entry : medians) {
            std::printf("%-32s", qPrintable(entry.first));
            for (size_t i = 1; i < entry.second.size(); ++i)
                std::printf(" %9.2fx", entry.second[i] / entry.second[0]);
            std::printf("\n");
        }
    }
    return 0;
}
