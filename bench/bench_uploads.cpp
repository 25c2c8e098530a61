// A burst of 64 parallel phone uploads of about 0.9 MB each against the web
// service on 127.0.0.1: how many were stored, how long the burst took, and the
// service process's resident memory before, right after and a second after.

#include "service/api.h"
#include "service/httpserver.h"
#include "service/store.h"
#include "service/timegeo.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

double residentMegabytes()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stod(line.substr(6)) / 1024.0;
    return 0;
}

} // namespace

int main()
{
    QTemporaryDir dir;
    service::Store store;
    std::string error;
    if (!dir.isValid() || !store.open(dir.filePath("bench.db").toStdString(), &error)) {
        std::fprintf(stderr, "bench_uploads: %s\n", error.c_str());
        return 1;
    }
    service::Api api(store);
    service::HttpServer server(api);
    if (!server.bind("127.0.0.1", 0, &error)) {
        std::fprintf(stderr, "bench_uploads: %s\n", error.c_str());
        return 1;
    }
    server.start();
    const auto user = store.createUser("Bench phone");

    // Every upload's body is made before the burst, so that the figures show
    // the service's memory and not the clients'.
    const int uploads = 64;
    std::vector<std::string> bodies;
    for (int t = 0; t < uploads; ++t) {
        nlohmann::json request = { { "userID", user->userId }, { "phoneKey", user->phoneKey } };
        nlohmann::json& fixes = request["fixes"];
        for (int i = 0; request.size() && fixes.size() < 6600; ++i)
            fixes.push_back({ { "time", service::formatIsoTime(1780000000000LL + (t * 6600LL + i) * 1000) },
                              { "latitude", 48.137 + i * 1e-5 }, { "longitude", 11.575 + t * 1e-5 },
                              { "altitude", 519.5 }, { "accuracy", 4.5 }, { "timeZoneId", "Europe/Berlin" } });
        bodies.push_back(request.dump());
    }
    std::printf("%d uploads of %.2f MB each\n", uploads, bodies.front().size() / 1e6);
    const double idle = residentMegabytes();

    std::atomic<int> stored { 0 };
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> clients;
    for (int t = 0; t < uploads; ++t) {
        clients.emplace_back([&, t] {
            httplib::Client client("127.0.0.1", server.port());
            client.set_read_timeout(120, 0);
            client.set_write_timeout(120, 0);
            const auto answer = client.Post("/phone/fixes", bodies[size_t(t)], "application/json");
            if (answer && answer->status == 200)
                ++stored;
        });
    }
    for (auto& client : clients)
        client.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double after = residentMegabytes();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double settled = residentMegabytes();
    std::printf("stored %d of %d in %.1f s\n", stored.load(), uploads, seconds);
    std::printf("resident memory: idle %.0f MB, after the burst %.0f MB, a second later %.0f MB\n", idle, after,
                settled);
    server.stop();
    return stored == uploads ? 0 : 1;
}
