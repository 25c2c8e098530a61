// kestrel-service: the web service Kestrel asks where its user was.

#include "buildinfo.h"

#include "service/api.h"
#include "service/demo.h"
#include "service/hosts.h"
#include "service/httpserver.h"
#include "service/store.h"
#include "service/trackimport.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <map>
#include <optional>
#include <pthread.h>
#include <sys/resource.h>
#include <string>
#include <thread>
#include <vector>

namespace {

const char* const generalHelp =
    "Usage: kestrel-service COMMAND [OPTIONS]\n"
    "\n"
    "The web service that Kestrel asks where you were when a photo was taken.\n"
    "\n"
    "Commands:\n"
    "  serve        answer Kestrel and the phone over HTTP\n"
    "  import-track store the points of track files as positions (import-gpx: the same)\n"
    "  demo         create a demo phone with a week of positions to try Kestrel with\n"
    "\n"
    "Options:\n"
    "  -h, --help   this help; after a command, the options of that command\n"
    "  --version    the version\n";

const char* const serveHelp =
    "Usage: kestrel-service serve [--db DATABASE] [--db-read DATABASE]... [--db-connections N]\n"
    "                             [--address ADDRESS] [--port PORT] [--tls-cert FILE --tls-key FILE]\n"
    "                             [--proxy ADDRESS]...\n"
    "\n"
    "Serves the endpoints syncCamera, geocodeImage, getSyncList, removeCamera and importTrack for Kestrel,\n"
    "the phone's endpoints under /phone/, the phone page /phone, the tracker apps' routes\n"
    "/track/osmand, /track/owntracks and /track/overland and the page /sync that shows a live\n"
    "synchronization code.\n"
    "\n"
    "  --db DATABASE      the database: a SQLite file (default: kestrel-service.db in the kestrel\n"
    "                     folder of the user's data folder), or PostgreSQL as postgresql://USER@HOST:PORT/NAME\n"
    "                     or as libpq keywords (\"host=... dbname=...\"); a password left out comes from\n"
    "                     PGPASSWORD or ~/.pgpass. Any number of instances may serve one PostgreSQL database.\n"
    "  --db-read DATABASE a streaming replica of the PostgreSQL database for requests that only read;\n"
    "                     repeatable. A replica serves a request only when it has replayed everything the\n"
    "                     primary had committed when the request came, otherwise the primary does.\n"
    "  --db-connections N at most N connections to each PostgreSQL database at once (default 16)\n"
    "  --address ADDRESS  the address to listen on (default 127.0.0.1); on any other than\n"
    "                     loopback, /sync needs the phone's key: /sync#userID=...&phoneKey=...\n"
    "  --port PORT        the port to listen on, 0 for any free one (default 8470)\n"
    "  --tls-cert FILE    serve HTTPS with this certificate (PEM), for phones outside the local network\n"
    "  --tls-key FILE     the certificate's private key (PEM)\n"
    "  --proxy ADDRESS    a reverse proxy in front of the service connects from this IPv4 or IPv6\n"
    "                     address (repeatable). Its requests must name their client as the last\n"
    "                     address of X-Forwarded-For (nginx: $proxy_add_x_forwarded_for), which\n"
    "                     then counts as the client; its connections have no cap per address. With\n"
    "                     any proxy no client is trusted as this computer's, whatever --address:\n"
    "                     /sync needs the phone's key and any Host name is answered.\n"
    "\n"
    "Prints \"listening on URL\" once it answers, and with --address 0.0.0.0 the URLs of the\n"
    "phone page /phone in the local network; stops on SIGINT or SIGTERM.\n";

const char* const importHelp =
    "Usage: kestrel-service import-track [--db DATABASE] [--user USERID] [--zone ZONE] FILE...\n"
    "\n"
    "Stores the timed points of track files as positions of a user: GPX 1.0 and 1.1, KML, KMZ,\n"
    "GeoJSON, NMEA 0183 (RMC and GGA), CSV with a header line and Google location history\n"
    "(Records.json, Timeline.json). The format is told by the content. Positions the user has\n"
    "already are kept, so importing a file twice adds nothing.\n"
    "\n"
    "  --db DATABASE  the database, a SQLite file or PostgreSQL, as for serve\n"
    "  --user USERID  the user identifier; may be left out when there is only one user\n"
    "  --zone ZONE    an IANA time zone for all points (default: the zone of each point's position)\n"
    "\n"
    "Times without a zone in the files are taken as UTC.\n";

const char* const demoHelp =
    "Usage: kestrel-service demo [--db DATABASE]\n"
    "\n"
    "Creates a demo phone with a walk through Munich every day from a week ago to tomorrow,\n"
    "so that photos taken now find a position. Prints its user identifier and phone key.\n"
    "\n"
    "  --db DATABASE  the database, a SQLite file or PostgreSQL, as for serve\n";

// kestrel-service.db in the kestrel folder of the user's data folder. Earlier
// versions kept it in the KESTREL folder beside Kestrel's settings: that one
// stays in use while there is no new one, so no one's positions are left behind.
std::string defaultDatabase()
{
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    const QString earlier = data + "/KESTREL/kestrel-service.db";
    const QString folder = data + "/kestrel";
    if (!QFileInfo::exists(folder + "/kestrel-service.db") && QFileInfo::exists(earlier))
        return earlier.toStdString();
    QDir().mkpath(folder);
    return (folder + "/kestrel-service.db").toStdString();
}

struct Options {
    std::map<std::string, std::vector<std::string>> values; // every value of an option, in order
    std::vector<std::string> positional;
    bool help = false;

    bool has(const std::string& name) const { return values.count(name) > 0; }
    // The option's last value; empty when it was not given.
    std::string value(const std::string& name) const
    {
        const auto found = values.find(name);
        return found != values.end() ? found->second.back() : std::string();
    }
    // Every value the option was given, in order.
    std::vector<std::string> every(const std::string& name) const
    {
        const auto found = values.find(name);
        return found != values.end() ? found->second : std::vector<std::string>();
    }
};

// The end of every failed command: `text` on standard error, then the exit
// status to return.
int report(const std::string& text, int status)
{
    std::cerr << text;
    return status;
}

// A command failed for `reason`: exit status 1.
int fail(const std::string& reason)
{
    return report("kestrel-service: " + reason + "\n", 1);
}

// A command was called wrongly: exit status 2.
int usageError(const std::string& command, const std::string& error)
{
    return report("kestrel-service " + command + ": " + error + "\nRun \"kestrel-service " + command
                      + " --help\" for help.\n",
                  2);
}

// Reads "--name value" and "--name=value" options; `flags` take no value.
// Nothing, with the reason in `error`, for an unknown option or a missing value.
std::optional<Options> parseOptions(int argc, char** argv, const std::vector<std::string>& valued,
                                    const std::vector<std::string>& flags, std::string* error)
{
    const auto named = [](const std::vector<std::string>& names, const std::string& name) {
        return std::find(names.begin(), names.end(), name) != names.end();
    };
    Options options;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            options.help = true;
            continue;
        }
        if (arg.size() <= 2 || arg.compare(0, 2, "--") != 0) {
            options.positional.push_back(arg);
            continue;
        }
        std::string name = arg.substr(2);
        const auto equals = name.find('=');
        const bool inlineValue = equals != std::string::npos;
        std::string value = inlineValue ? name.substr(equals + 1) : std::string();
        if (inlineValue)
            name = name.substr(0, equals);
        if (named(flags, name) && !inlineValue) {
            options.values[name].push_back("1");
        } else if (named(valued, name)) {
            if (!inlineValue && i + 1 >= argc) {
                *error = "the option --" + name + " needs a value";
                return std::nullopt;
            }
            options.values[name].push_back(inlineValue ? value : argv[++i]);
        } else {
            *error = "unknown option " + arg;
            return std::nullopt;
        }
    }
    return options;
}

// The bound of --db-connections: 1 to 1000, 16 when not given.
std::optional<int> connectionLimit(const Options& options, std::string* error)
{
    if (!options.has("db-connections"))
        return 16;
    const std::string text = options.value("db-connections");
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < 1 || value > 1000) {
        *error = "--db-connections \"" + text + "\" is not a number from 1 to 1000";
        return std::nullopt;
    }
    return static_cast<int>(value);
}

// Opens the database of --db (a file or a PostgreSQL database), with the
// replicas of --db-read.
bool openStore(service::Store& store, const Options& options, std::string* error)
{
    if (!store.open(options.has("db") ? options.value("db") : defaultDatabase(), error))
        return false;
    for (const std::string& replica : options.every("db-read")) {
        if (!store.addReplica(replica, error)) {
            *error = "--db-read " + service::Store::shownDatabase(replica) + ": " + *error;
            return false;
        }
    }
    return true;
}

void printDemo(const service::Demo& demo)
{
    std::cout << "Demo phone created: " << demo.fixes << " positions from " << service::formatIsoTime(demo.from)
              << " to " << service::formatIsoTime(demo.to) << ".\n"
              << "  userID   " << demo.user.userId << "\n"
              << "  phoneKey " << demo.user.phoneKey << "\n";
}

int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The port of "--port": 0 to 65535, 8470 when not given.
std::optional<int> portOption(const Options& options, std::string* error)
{
    if (!options.has("port"))
        return 8470;
    const std::string text = options.value("port");
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < 0 || value > 65535) {
        *error = "the port \"" + text + "\" is not a number from 0 to 65535";
        return std::nullopt;
    }
    return static_cast<int>(value);
}

// Connections waiting for a worker hold a descriptor each: allow as many as
// the system lets this process have.
void raiseFileLimit()
{
    rlimit files {};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, 65536);
        setrlimit(RLIMIT_NOFILE, &files);
    }
}

// SIGINT and SIGTERM, blocked for every thread: one thread of its own takes them.
sigset_t blockStopSignals()
{
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    return stopSignals;
}

// Serves until SIGINT or SIGTERM; prints where it listens.
int serveUntilStopped(service::HttpServer& server, const std::string& address, const std::string& scheme,
                      const sigset_t& stopSignals)
{
    std::thread([&server, stopSignals] {
        int received = 0;
        sigwait(&stopSignals, &received);
        server.stop();
    }).detach();
    const std::string host = address.find(':') != std::string::npos ? "[" + address + "]" : address;
    std::cout << "listening on " << scheme << "://" << host << ":" << server.port() << "/" << std::endl;
    if (address == "0.0.0.0") {
        for (const std::string& local : service::localNetworkAddresses())
            std::cout << "phone page: " << scheme << "://" << local << ":" << server.port() << "/phone" << std::endl;
    }
    const bool ok = server.run();
    std::cout << "stopped" << std::endl;
    return ok ? 0 : 1;
}

int serve(int argc, char** argv)
{
    std::string error;
    const auto options =
        parseOptions(argc, argv, { "db", "db-read", "db-connections", "address", "port", "tls-cert", "tls-key", "proxy" },
                     {}, &error);
    if (!options)
        return usageError("serve", error);
    if (options->help) {
        std::cout << serveHelp;
        return 0;
    }
    if (!options->positional.empty())
        return usageError("serve", "unexpected argument " + options->positional.front());
    const auto port = portOption(*options, &error);
    if (!port)
        return usageError("serve", error);
    const auto connections = connectionLimit(*options, &error);
    if (!connections)
        return usageError("serve", error);
    const std::string address = options->has("address") ? options->value("address") : "127.0.0.1";
    service::ServerLimits limits;
    for (const std::string& proxy : options->every("proxy")) {
        const auto canonical = service::canonicalAddress(proxy);
        if (!canonical)
            return usageError("serve", "the proxy address \"" + proxy + "\" is not an IPv4 or IPv6 address");
        limits.proxies.push_back(*canonical);
    }
    raiseFileLimit();
    const sigset_t stopSignals = blockStopSignals();

    service::Store store;
    store.setConnectionLimit(*connections);
    if (!openStore(store, *options, &error))
        return fail(error);
    service::Api api(store);
    const service::TlsFiles tls { options->value("tls-cert"), options->value("tls-key") };
    if (tls.certificate.empty() != tls.key.empty())
        return usageError("serve", "--tls-cert and --tls-key go together");
    service::HttpServer server(api, limits, tls);
    if (!server.valid())
        return fail("cannot serve HTTPS with the certificate " + tls.certificate + " and the key " + tls.key
                    + " (missing, unreadable or not a matching PEM pair)");
    if (!server.bind(address, *port, &error))
        return fail(error);
    return serveUntilStopped(server, address, tls.certificate.empty() ? "http" : "https", stopSignals);
}

// The user that import-track stores positions for: the one named by --user,
// else the single account (demo accounts only count while there is no other).
// Nothing, with the reason in `error`, without one.
std::optional<service::User> importUser(service::Store& store, const Options& options, std::string* error)
{
    if (options.has("user")) {
        auto user = store.userById(options.value("user"));
        if (!user)
            *error = "no user " + options.value("user") + " in " + store.name();
        return user;
    }
    // A failing database reads as no user.
    const auto users = store.users().value_or(std::vector<service::User>());
    auto single = service::singleAccount(users);
    if (!single)
        *error = std::string(users.empty() ? "no user yet" : "several users") + " in " + store.name()
            + "; name one with --user";
    return single;
}

// Imports one track file, showing its progress when it is large and its
// outcome when done; false when nothing of it was stored.
bool importFile(service::Store& store, int64_t user, const std::string& file, const std::string& zone, int64_t now)
{
    int lastPercent = -1;
    const auto progress = [&](int64_t done, int64_t total) {
        const int percent = total > 0 ? static_cast<int>(done * 100 / total) : 100;
        if (percent != lastPercent && total > (8 << 20)) {
            lastPercent = percent;
            std::cerr << "\r" << file << ": " << percent << "%" << std::flush;
            if (percent == 100)
                std::cerr << "\n";
        }
    };
    const service::TrackImport result = service::importTrackFile(store, user, file, zone, now, progress);
    const bool failed = result.storeFailed || result.good() == 0;
    (failed ? std::cerr : std::cout) << file << " ("
                                     << (result.reading.format.empty() ? "unknown format" : result.reading.format)
                                     << "): " << service::importSummary(result) << "\n";
    return !failed;
}

int importTrack(int argc, char** argv)
{
    const std::string command = argv[1];
    std::string error;
    const auto options = parseOptions(argc, argv, { "db", "user", "zone" }, {}, &error);
    if (!options)
        return usageError(command, error);
    if (options->help) {
        std::cout << importHelp;
        return 0;
    }
    if (options->positional.empty())
        return usageError(command, "no track file given");
    const std::string zone = options->value("zone");
    if (!zone.empty() && !service::isKnownZone(zone))
        return usageError(command, "unknown time zone \"" + zone + "\"");
    service::Store store;
    if (!openStore(store, *options, &error))
        return fail(error);
    const auto user = importUser(store, *options, &error);
    if (!user)
        return fail(error);
    int failures = 0;
    for (const std::string& file : options->positional)
        failures += importFile(store, user->id, file, zone, nowMs()) ? 0 : 1;
    return failures == 0 ? 0 : 1;
}

int demo(int argc, char** argv)
{
    std::string error;
    const auto options = parseOptions(argc, argv, { "db" }, {}, &error);
    if (!options)
        return usageError("demo", error);
    if (options->help) {
        std::cout << demoHelp;
        return 0;
    }
    if (!options->positional.empty())
        return usageError("demo", "unexpected argument " + options->positional.front());
    service::Store store;
    if (!openStore(store, *options, &error))
        return fail(error);
    const auto created = service::createDemo(store, nowMs(), &error);
    if (!created)
        return fail(error);
    printDemo(*created);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return report(generalHelp, 2);
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::cout << generalHelp;
        return 0;
    }
    if (command == "--version") {
        std::cout << "kestrel-service " KESTREL_VERSION "\n";
        return 0;
    }
    if (command == "serve")
        return serve(argc, argv);
    if (command == "import-track" || command == "import-gpx")
        return importTrack(argc, argv);
    if (command == "demo")
        return demo(argc, argv);
    return report("kestrel-service: unknown command \"" + command + "\"\n\n" + generalHelp, 2);
}
