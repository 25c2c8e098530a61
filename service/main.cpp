// kestrel-service: the web service Kestrel asks where its user was.

#include "service/api.h"
#include "service/demo.h"
#include "service/gpx.h"
#include "service/hosts.h"
#include "service/httpserver.h"
#include "service/store.h"
#include "service/trackimport.h"

#include <QDir>
#include <QStandardPaths>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <pthread.h>
#include <sys/resource.h>
#include <sstream>
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
    "Run \"kestrel-service COMMAND --help\" for the options of a command.\n";

const char* const serveHelp =
    "Usage: kestrel-service serve [--db FILE] [--address ADDRESS] [--port PORT] [--demo-if-empty]\n"
    "                             [--tls-cert FILE --tls-key FILE]\n"
    "\n"
    "Serves the endpoints syncCamera, geocodeImage, getSyncList, removeCamera and importTrack for Kestrel,\n"
    "the phone's endpoints under /phone/, the phone page /phone, the tracker apps' routes\n"
    "/track/osmand, /track/owntracks and /track/overland and the page /sync that shows a live\n"
    "synchronization code.\n"
    "\n"
    "  --db FILE          the database (default: the KESTREL folder of the user's data folder)\n"
    "  --address ADDRESS  the address to listen on (default 127.0.0.1); on any other than\n"
    "                     loopback, /sync needs the phone's key: /sync#userID=...&phoneKey=...\n"
    "  --port PORT        the port to listen on, 0 for any free one (default 8470)\n"
    "  --demo-if-empty    create the demo phone first when the database has no user\n"
    "  --tls-cert FILE    serve HTTPS with this certificate (PEM), for phones outside the local network\n"
    "  --tls-key FILE     the certificate's private key (PEM)\n"
    "\n"
    "Prints \"listening on URL\" once it answers, and with --address 0.0.0.0 the URLs of the\n"
    "phone page /phone in the local network; stops on SIGINT or SIGTERM.\n";

const char* const importHelp =
    "Usage: kestrel-service import-track [--db FILE] [--user USERID] [--zone ZONE] FILE...\n"
    "\n"
    "Stores the timed points of track files as positions of a user: GPX 1.0 and 1.1, KML, KMZ,\n"
    "GeoJSON, NMEA 0183 (RMC and GGA), CSV with a header line and Google location history\n"
    "(Records.json, Timeline.json). The format is told by the content. Positions the user has\n"
    "already are kept, so importing a file twice adds nothing.\n"
    "\n"
    "  --db FILE      the database (default: the KESTREL folder of the user's data folder)\n"
    "  --user USERID  the user identifier; may be left out when there is only one user\n"
    "  --zone ZONE    an IANA time zone for all points (default: the zone of each point's position)\n"
    "\n"
    "Times without a zone in the files are taken as UTC.\n";

const char* const demoHelp =
    "Usage: kestrel-service demo [--db FILE]\n"
    "\n"
    "Creates a demo phone with a walk through Munich every day from a week ago to tomorrow,\n"
    "so that photos taken now find a position. Prints its user identifier and phone key.\n"
    "\n"
    "  --db FILE  the database (default: the KESTREL folder of the user's data folder)\n";

std::string defaultDatabase()
{
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/KESTREL";
    QDir().mkpath(base);
    return (base + "/kestrel-service.db").toStdString();
}

struct Options {
    std::map<std::string, std::string> values;
    std::vector<std::string> positional;
    bool help = false;
};

// Reads "--name value" options; `flags` take no value. False with a message
// for an unknown option or a missing value.
bool parseOptions(int argc, char** argv, const std::vector<std::string>& valued,
                  const std::vector<std::string>& flags, Options& options, std::string& error)
{
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            options.help = true;
            continue;
        }
        if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
            std::string name = arg.substr(2);
            std::string value;
            bool inlineValue = false;
            const auto equals = name.find('=');
            if (equals != std::string::npos) {
                value = name.substr(equals + 1);
                name = name.substr(0, equals);
                inlineValue = true;
            }
            bool isValued = false, isFlag = false;
            for (const auto& v : valued)
                isValued = isValued || v == name;
            for (const auto& f : flags)
                isFlag = isFlag || f == name;
            if (isFlag && !inlineValue) {
                options.values[name] = "1";
            } else if (isValued) {
                if (!inlineValue) {
                    if (i + 1 >= argc) {
                        error = "the option --" + name + " needs a value";
                        return false;
                    }
                    value = argv[++i];
                }
                options.values[name] = value;
            } else {
                error = "unknown option " + arg;
                return false;
            }
            continue;
        }
        options.positional.push_back(arg);
    }
    return true;
}

int usageError(const std::string& command, const std::string& error)
{
    std::cerr << "kestrel-service " << command << ": " << error << "\nRun \"kestrel-service " << command
              << " --help\" for help.\n";
    return 2;
}

bool openStore(service::Store& store, const Options& options)
{
    auto found = options.values.find("db");
    const std::string path = found != options.values.end() ? found->second : defaultDatabase();
    std::string error;
    if (!store.open(path, &error)) {
        std::cerr << "kestrel-service: " << error << "\n";
        return false;
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

int serve(int argc, char** argv)
{
    Options options;
    std::string error;
    if (!parseOptions(argc, argv, { "db", "address", "port", "tls-cert", "tls-key" }, { "demo-if-empty" }, options, error))
        return usageError("serve", error);
    if (options.help) {
        std::cout << serveHelp;
        return 0;
    }
    if (!options.positional.empty())
        return usageError("serve", "unexpected argument " + options.positional.front());
    int port = 8470;
    if (options.values.count("port")) {
        const std::string text = options.values["port"];
        char* end = nullptr;
        const long value = std::strtol(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || value < 0 || value > 65535)
            return usageError("serve", "the port \"" + text + "\" is not a number from 0 to 65535");
        port = static_cast<int>(value);
    }
    const std::string address = options.values.count("address") ? options.values["address"] : "127.0.0.1";

    // Connections waiting for a worker hold a descriptor each: allow as many
    // as the system lets this process have.
    rlimit files {};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, 65536);
        setrlimit(RLIMIT_NOFILE, &files);
    }

    // SIGINT and SIGTERM are taken by a thread of their own.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    service::Store store;
    if (!openStore(store, options))
        return 1;
    if (options.values.count("demo-if-empty") && store.userCount() == 0) {
        const auto demo = service::createDemo(store, nowMs(), &error);
        if (!demo) {
            std::cerr << "kestrel-service: " << error << "\n";
            return 1;
        }
        printDemo(*demo);
    }
    service::Api api(store);
    const service::TlsFiles tls { options.values["tls-cert"], options.values["tls-key"] };
    if (tls.certificate.empty() != tls.key.empty())
        return usageError("serve", "--tls-cert and --tls-key go together");
    service::HttpServer server(api, {}, tls);
    if (!server.valid()) {
        std::cerr << "kestrel-service: cannot serve HTTPS with the certificate " << tls.certificate << " and the key "
                  << tls.key << " (missing, unreadable or not a matching PEM pair)\n";
        return 1;
    }
    if (!server.bind(address, port, &error)) {
        std::cerr << "kestrel-service: " << error << "\n";
        return 1;
    }
    std::thread([&server, stopSignals] {
        int received = 0;
        sigwait(&stopSignals, &received);
        server.stop();
    }).detach();
    const std::string host = address.find(':') != std::string::npos ? "[" + address + "]" : address;
    const std::string scheme = tls.certificate.empty() ? "http" : "https";
    std::cout << "listening on " << scheme << "://" << host << ":" << server.port() << "/" << std::endl;
    if (address == "0.0.0.0") {
        for (const std::string& local : service::localNetworkAddresses())
            std::cout << "phone page: " << scheme << "://" << local << ":" << server.port() << "/phone" << std::endl;
    }
    const bool ok = server.run();
    std::cout << "stopped" << std::endl;
    return ok ? 0 : 1;
}

int importTrack(int argc, char** argv)
{
    const std::string command = argv[1];
    Options options;
    std::string error;
    if (!parseOptions(argc, argv, { "db", "user", "zone" }, {}, options, error))
        return usageError(command, error);
    if (options.help) {
        std::cout << importHelp;
        return 0;
    }
    if (options.positional.empty())
        return usageError(command, "no track file given");
    const std::string zone = options.values["zone"];
    if (!zone.empty() && !service::isKnownZone(zone))
        return usageError(command, "unknown time zone \"" + zone + "\"");
    service::Store store;
    if (!openStore(store, options))
        return 1;
    std::optional<service::User> user;
    if (options.values.count("user")) {
        user = store.userById(options.values["user"]);
        if (!user) {
            std::cerr << "kestrel-service: no user " << options.values["user"] << " in " << store.path() << "\n";
            return 1;
        }
    } else {
        const auto users = store.users();
        if (users.size() != 1) {
            std::cerr << "kestrel-service: " << (users.empty() ? "no user yet" : "several users")
                      << " in " << store.path() << "; name one with --user\n";
            return 1;
        }
        user = users.front();
    }
    int failures = 0;
    for (const std::string& file : options.positional) {
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
        const service::TrackImport result = service::importTrackFile(store, user->id, file, zone, progress);
        const bool failed = result.storeFailed || result.good() == 0;
        (failed ? std::cerr : std::cout) << file << " ("
                                         << (result.reading.format.empty() ? "unknown format" : result.reading.format)
                                         << "): " << service::importSummary(result) << "\n";
        failures += failed ? 1 : 0;
    }
    return failures == 0 ? 0 : 1;
}

int demo(int argc, char** argv)
{
    Options options;
    std::string error;
    if (!parseOptions(argc, argv, { "db" }, {}, options, error))
        return usageError("demo", error);
    if (options.help) {
        std::cout << demoHelp;
        return 0;
    }
    if (!options.positional.empty())
        return usageError("demo", "unexpected argument " + options.positional.front());
    service::Store store;
    if (!openStore(store, options))
        return 1;
    const auto created = service::createDemo(store, nowMs(), &error);
    if (!created) {
        std::cerr << "kestrel-service: " << error << "\n";
        return 1;
    }
    printDemo(*created);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::cerr << generalHelp;
        return 2;
    }
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::cout << generalHelp;
        return 0;
    }
    if (command == "serve")
        return serve(argc, argv);
    if (command == "import-track" || command == "import-gpx")
        return importTrack(argc, argv);
    if (command == "demo")
        return demo(argc, argv);
    std::cerr << "kestrel-service: unknown command \"" << command << "\"\n\n" << generalHelp;
    return 2;
}
