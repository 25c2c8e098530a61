// The service on its databases: storage of a long track, geocodeImage at 1,
// 5 and 50 clients and fix ingest from 50 phones, on real kestrel-service
// processes.
//
// Usage: bench_stores [FIXES] [SECONDS] [sqlite|postgresql]
// (defaults: 1000000 fixes of one user, a fix every 5 s; 5 s per run; both
// stores). The fixes and 100 cameras with one synchronization each are
// written through service::Store into the database: a SQLite file, and a
// database of a throwaway PostgreSQL cluster. Then the instances are started
// on it and waited for until they listen:
//   sqlite x1           one instance on the file
//   postgresql x1, x2   one or two instances (the clients spread over both)
//   postgresql +replica one instance reading from a streaming replica

#include "bench/benchdata.h"
#include "bench/loadclients.h"

#include "service/store.h"
#include "service/timegeo.h"
#include "tests/support/pgcluster.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using nlohmann::json;

namespace {

constexpr int64_t stepMs = 5000;       // a fix every 5 s
constexpr int64_t offsetMs = 3797000;  // every camera 1 h 3 min 17 s ahead
constexpr int cameras = 100;
constexpr int phones = 50;
constexpr size_t batchSize = 10000;
constexpr int clientCounts[] = { 1, 5, 50 };

int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct Options {
    int64_t fixes = 1000000;
    double seconds = 5;
    bool sqlite = true;
    bool postgres = true;
};

// The bench data of a database: one user's track, ending an hour ago (the
// service gives no positions ahead of its clock), and the cameras.
struct Track {
    std::string userId;
    int64_t start = 0; // UTC ms of the first fix
    int64_t fixes = 0;
};

service::Fix benchFix(int64_t start, int64_t i)
{
    return bench::walkFix(start, i, stepMs);
}

// Every camera synchronized once, with a code of the user, at the track's start.
bool addCameras(service::Store& store, const service::User& user, int64_t start)
{
    const service::ZoneMoment zone = service::zoneMoment("Europe/Berlin", start);
    for (int camera = 0; camera < cameras; ++camera) {
        const auto code = store.createSyncCode(user.id, start);
        service::Synchronization sync;
        sync.code = code ? code->code : std::string();
        sync.clockOffset = offsetMs;
        sync.cameraTime = start + offsetMs;
        sync.utcTime = start;
        sync.zoneId = zone.zoneId;
        sync.zoneOffset = zone.offsetText;
        sync.zoneName = zone.longName;
        sync.localTime = zone.localTime;
        if (!code || !store.addSynchronization(user.id, "Bench camera", std::to_string(camera), "", sync))
            return false;
    }
    return true;
}

// Writes the track and the cameras; prints how fast the fixes went in.
std::optional<Track> load(const std::string& database, int64_t fixes, const char* name)
{
    service::Store store;
    std::string error;
    if (!store.open(database, &error)) {
        std::fprintf(stderr, "bench_stores: %s\n", error.c_str());
        return std::nullopt;
    }
    const auto user = store.createUser("Bench phone");
    if (!user)
        return std::nullopt;
    Track track { user->userId, nowMs() - 3600 * 1000 - (fixes - 1) * stepMs, fixes };
    const auto begin = bench::Clock::now();
    std::vector<service::Fix> batch;
    batch.reserve(batchSize);
    for (int64_t i = 0; i < fixes; ++i) {
        batch.push_back(benchFix(track.start, i));
        if (batch.size() == batchSize || i + 1 == fixes) {
            if (!store.addFixes(user->id, batch)) {
                std::fprintf(stderr, "bench_stores: cannot store fixes in %s\n", name);
                return std::nullopt;
            }
            batch.clear();
        }
    }
    const double took = bench::seconds(bench::Clock::now() - begin);
    if (!addCameras(store, *user, track.start)) {
        std::fprintf(stderr, "bench_stores: cannot store the cameras in %s\n", name);
        return std::nullopt;
    }
    std::printf("%-20s stored %lld fixes (%.1f days) in %.1f s: %.0f fixes/s in batches of %zu\n", name,
                static_cast<long long>(fixes), fixes * stepMs / 86400000.0, took, fixes / took, batchSize);
    return track;
}

void printStorage(const char* name, const char* what, int64_t bytes, int64_t fixes)
{
    std::printf("%-20s %s %.1f MB after %lld fixes: %.1f bytes a fix\n", name, what, bytes / 1048576.0,
                static_cast<long long>(fixes), static_cast<double>(bytes) / fixes);
}

// A kestrel-service process, listening on a free loopback port once made;
// stopped with SIGTERM at the end. What it logs goes to the file `log`.
class Instance {
public:
    Instance(const std::string& database, const std::vector<std::string>& replicas, const QString& log)
    {
        QStringList arguments { "serve", "--db", QString::fromStdString(database), "--address", "127.0.0.1",
                                "--port", "0" };
        for (const std::string& replica : replicas)
            arguments << "--db-read" << QString::fromStdString(replica);
        process_.setStandardErrorFile(log);
        process_.start(QStringLiteral(KESTREL_SERVICE_BINARY), arguments);
        // It says "listening on http://127.0.0.1:PORT/" once it answers.
        const auto deadline = bench::Clock::now() + std::chrono::seconds(60);
        while (port_ == 0 && bench::Clock::now() < deadline && process_.state() != QProcess::NotRunning) {
            if (!process_.canReadLine() && !process_.waitForReadyRead(1000))
                continue;
            const QString line = QString::fromUtf8(process_.readLine()).trimmed();
            const QString prefix = QStringLiteral("listening on http://127.0.0.1:");
            if (line.startsWith(prefix))
                port_ = line.mid(prefix.size()).section('/', 0, 0).toInt();
        }
    }
    ~Instance()
    {
        process_.terminate();
        if (!process_.waitForFinished(20000)) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    int port() const { return port_; }

private:
    QProcess process_;
    int port_ = 0;
};

// The instances of one configuration, on one database.
struct Setup {
    std::string name;
    std::string database;
    int instances = 1;
    std::vector<std::string> replicas; // --db-read
    bool ingest = true;
};

void printRun(const std::string& name, const char* what, int clients, const char* who, const bench::LoadRun& run,
              const char* unit, const std::string& more = std::string())
{
    std::printf("%-20s %-13s %2d %-8s %6.0f %-7s p50 %6.1f ms  p99 %6.1f ms  %lld failed%s\n", name.c_str(), what,
                clients, who, run.rate, unit, run.p50, run.p99, static_cast<long long>(run.failures), more.c_str());
    std::fflush(stdout);
}

// The runs at 1, 5 and 50 clients; the number of requests of all.
int64_t measureGeocode(const Setup& setup, const std::vector<int>& ports, const Track& track, double duration)
{
    int64_t requests = 0;
    for (int clients : clientCounts) {
        const bench::LoadRun run = bench::runClients(ports, clients, duration, 0, [&](int, std::mt19937_64& random) {
            const int camera = static_cast<int>(random() % cameras);
            const int64_t moment =
                track.start + static_cast<int64_t>(random() % static_cast<uint64_t>((track.fixes - 1) * stepMs));
            const json request = { { "dateTimeOriginal", service::formatWallClock(moment + offsetMs) },
                                   { "model", "Bench camera" },
                                   { "serialNumber", std::to_string(camera) },
                                   { "userID", track.userId } };
            return bench::Request { "/geocodeImage", request.dump() };
        });
        printRun(setup.name, "geocodeImage", clients, "clients", run, "req/s");
        requests += run.requests;
    }
    return requests;
}

// 50 new phones send fixes over the OsmAnd route as fast as they are
// answered, each fix stamped a second after the phone's last; then the stored
// ones are counted.
void measureIngest(const Setup& setup, const std::vector<int>& ports, double duration)
{
    service::Store store;
    std::string error;
    if (!store.open(setup.database, &error)) {
        std::fprintf(stderr, "bench_stores: %s\n", error.c_str());
        return;
    }
    std::vector<int64_t> users;
    std::vector<std::string> keys;
    for (int p = 0; p < phones; ++p) {
        const auto user = store.createUser("Bench tracker " + std::to_string(p));
        const auto key = user ? store.deviceKey(user->id) : std::nullopt;
        if (!key) {
            std::fprintf(stderr, "bench_stores: cannot make the phones\n");
            return;
        }
        users.push_back(user->id);
        keys.push_back(*key);
    }
    const int64_t first = nowMs() / 1000 - 30 * 86400; // Unix seconds, well in the past
    std::vector<int64_t> sent(phones, 0);
    const bench::LoadRun run = bench::runClients(ports, phones, duration, 0, [&](int p, std::mt19937_64&) {
        const int64_t i = sent[p]++;
        char target[256];
        std::snprintf(target, sizeof target, "/track/osmand?id=%s&lat=%.6f&lon=%.6f&timestamp=%lld&hdop=5",
                      keys[p].c_str(), 48.1 + p * 0.001 + i * 1e-5, 11.5 + i * 1e-5,
                      static_cast<long long>(first + i));
        return bench::Request { target, std::string() };
    });
    int64_t stored = 0;
    for (int64_t user : users)
        stored += store.fixCount(user).value_or(0);
    printRun(setup.name, "fix ingest", phones, "phones", run, "fixes/s",
             "  (stored " + std::to_string(stored) + " of " + std::to_string(run.requests - run.failures) + ")");
}

// How many lines the instances logged, and the first of them.
void printLogs(const std::string& name, const QStringList& logs)
{
    int count = 0;
    QString first;
    for (const QString& path : logs) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        while (!file.atEnd()) {
            const QString line = QString::fromUtf8(file.readLine()).trimmed();
            if (!line.isEmpty() && count++ == 0)
                first = line;
        }
    }
    if (count > 0)
        std::printf("%-20s the instances logged %d lines, the first: %s\n", name.c_str(), count, qPrintable(first));
}

// The geocodeImage requests sent, 0 when the instances did not start.
int64_t runSetup(const Setup& setup, const Track& track, const Options& options)
{
    int64_t requests = 0;
    QTemporaryDir dir;
    QStringList logs;
    {
        std::vector<std::unique_ptr<Instance>> instances;
        std::vector<int> ports;
        for (int i = 0; i < setup.instances; ++i) {
            logs << dir.filePath(QString("instance%1.log").arg(i));
            instances.push_back(std::make_unique<Instance>(setup.database, setup.replicas, logs.back()));
            if (instances.back()->port() == 0) {
                std::fprintf(stderr, "bench_stores: %s: an instance did not start\n", setup.name.c_str());
                printLogs(setup.name, logs);
                return 0;
            }
            ports.push_back(instances.back()->port());
        }
        requests = measureGeocode(setup, ports, track, options.seconds);
        if (setup.ingest)
            measureIngest(setup, ports, options.seconds);
    }
    printLogs(setup.name, logs);
    return requests;
}

int runSqlite(const Options& options)
{
    QTemporaryDir dir;
    const std::string path = dir.filePath("bench.db").toStdString();
    const char* name = "sqlite x1";
    const auto track = load(path, options.fixes, name);
    if (!track)
        return 1;
    // The store is closed: the write-ahead log is in the file.
    printStorage(name, "file", QFileInfo(QString::fromStdString(path)).size(), options.fixes);
    runSetup({ name, path, 1, {}, true }, *track, options);
    return 0;
}

// The database's size as PostgreSQL counts it, and that of the fixes with
// their primary key.
bool printPostgresStorage(const testsupport::PgCluster& cluster, const std::string& db, const char* name,
                          int64_t fixes)
{
    const std::string database = cluster.value(db, "SELECT pg_database_size(current_database())");
    const std::string table = cluster.value(db, "SELECT pg_total_relation_size('fixes')");
    if (database.empty() || table.empty() || database.rfind("error", 0) == 0 || table.rfind("error", 0) == 0) {
        std::fprintf(stderr, "bench_stores: cannot read the sizes: %s %s\n", database.c_str(), table.c_str());
        return false;
    }
    printStorage(name, "database", std::atoll(database.c_str()), fixes);
    printStorage(name, "fixes table", std::atoll(table.c_str()), fixes);
    return true;
}

int runPostgres(const Options& options)
{
    testsupport::PgCluster cluster;
    if (!cluster.valid()) {
        std::fprintf(stderr, "bench_stores: no PostgreSQL cluster: %s\n", qPrintable(cluster.error()));
        return 1;
    }
    const std::string db = cluster.createDatabase();
    if (db.empty()) {
        std::fprintf(stderr, "bench_stores: no database: %s\n", qPrintable(cluster.error()));
        return 1;
    }
    const std::string url = cluster.url(db);
    const char* name = "postgresql";
    const auto track = load(url, options.fixes, name);
    // Statistics and the visibility map as autovacuum would leave them.
    if (!track || !cluster.execute(db, "VACUUM ANALYZE") || !printPostgresStorage(cluster, db, name, options.fixes))
        return 1;
    runSetup({ "postgresql x1", url, 1, {}, true }, *track, options);
    runSetup({ "postgresql x2", url, 2, {}, true }, *track, options);
    const std::unique_ptr<testsupport::PgCluster> standby = cluster.startStandby();
    if (!standby || !standby->valid()) {
        std::fprintf(stderr, "bench_stores: no replica: %s\n", standby ? qPrintable(standby->error()) : "");
        return 1;
    }
    // The read transactions on the replica tell how many requests it served.
    const std::string transactions =
        "SELECT xact_commit + xact_rollback FROM pg_stat_database WHERE datname = current_database()";
    const int64_t before = std::atoll(standby->value(db, transactions).c_str());
    const int64_t requests = runSetup({ "postgresql +replica", url, 1, { standby->url(db) }, false }, *track, options);
    std::printf("%-20s %lld read transactions on the replica for %lld requests\n", "postgresql +replica",
                static_cast<long long>(std::atoll(standby->value(db, transactions).c_str()) - before),
                static_cast<long long>(requests));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    Options options;
    if (argc > 1)
        options.fixes = std::max<int64_t>(2, std::atoll(argv[1]));
    if (argc > 2)
        options.seconds = std::max(0.5, std::atof(argv[2]));
    if (argc > 3) {
        options.sqlite = std::string(argv[3]) == "sqlite";
        options.postgres = std::string(argv[3]) == "postgresql";
        if (!options.sqlite && !options.postgres) {
            std::fprintf(stderr, "Usage: bench_stores [FIXES] [SECONDS] [sqlite|postgresql]\n");
            return 2;
        }
    }
    std::printf("%lld fixes of one user, %d cameras, %.1f s a run, %u hardware threads\n",
                static_cast<long long>(options.fixes), cameras, options.seconds, std::thread::hardware_concurrency());
    const int sqlite = options.sqlite ? runSqlite(options) : 0;
    const int postgres = options.postgres ? runPostgres(options) : 0;
    return sqlite != 0 ? sqlite : postgres;
}
