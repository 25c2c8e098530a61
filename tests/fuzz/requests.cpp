// Fuzz target: the request bodies of the service, from parsing to the answer,
// without HTTP. The first byte picks the route; the rest is the body, for the
// tracker apps "<Authorization>\n<query>\n<body>", for a GPX upload
// "<zone>\n<gpx>". In the text "@U", "@K", "@D" and "@S" become the user
// identifier, phone key and device key of a registered phone and one of its
// synchronization codes, so that inputs reach past the credential checks.
// The database is one per process in a temporary folder; the clock stands still.

#include "scratch.h"

#include "service/api.h"
#include "service/desktopapi.h"
#include "service/trackers.h"

#include <httplib.h>

#include <cstdlib>

namespace {

constexpr int64_t now = 1785000000000LL;

struct Service {
    service::Store store;
    service::Api api { store, [] { return now; } };
    service::DesktopApi desktop { api, "127.0.0.1", 8470, true };
    service::TrackerIntake intake { store, [] { return now; } };
    service::User user;
    std::string deviceKey;
    std::string syncCode;

    Service()
    {
        std::string error;
        auto created = store.open(fuzz::scratchPath("service.db"), &error) ? store.createUser("Phone") : std::nullopt;
        auto key = created ? store.deviceKey(created->id) : std::nullopt;
        auto code = created ? store.createSyncCode(created->id, now - 1000) : std::nullopt;
        if (!key || !code)
            std::abort();
        user = *created;
        deviceKey = *key;
        syncCode = code->code;
    }

    std::string substituted(std::string text) const
    {
        const std::pair<const char*, const std::string*> names[]
            = { { "@U", &user.userId }, { "@K", &user.phoneKey }, { "@D", &deviceKey }, { "@S", &syncCode } };
        for (const auto& [name, value] : names)
            for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + value->size()))
                text.replace(at, 2, *value);
        return text;
    }
};

// The text up to the next line break, which is passed over.
std::string line(std::string& text)
{
    const size_t end = text.find('\n');
    std::string first = text.substr(0, end);
    text.erase(0, end == std::string::npos ? text.size() : end + 1);
    return first;
}

service::Reply tracker(Service& service, int protocol, std::string text)
{
    service::TrackerRequest request;
    request.authorization = line(text);
    httplib::Params query;
    httplib::detail::parse_query_text(line(text), query);
    request.query.insert(query.begin(), query.end());
    request.body = text;
    using Reader = bool (*)(const service::TrackerRequest&, service::TrackerMessage*, std::string*);
    const Reader readers[] = { service::readOsmand, service::readOwnTracks, service::readOverland };
    service::TrackerMessage message;
    std::string error;
    const service::Intake intake = readers[protocol](request, &message, &error)
        ? service.intake.take(message)
        : service.intake.refuseUnreadable(message.key, error);
    return service::Reply::make(intake.status, intake.reason, std::to_string(intake.stored));
}

service::Reply answer(Service& service, uint8_t route, std::string body)
{
    service::Api& api = service.api;
    switch (route % 13) {
    case 0: return api.syncCamera(body);
    case 1: return api.geocodeImage(body);
    case 2: return api.getSyncList(body);
    case 3: return api.removeCamera(body);
    case 4: return api.uploadFixes(body);
    case 5: return api.createSyncCode(body);
    case 6: return service.desktop.serviceStatus(body);
    case 7: return service.desktop.syncCode(body);
    case 8: {
        const std::string zone = line(body);
        return api.importGpx(service.user.userId, service.user.phoneKey, zone, body);
    }
    case 12: return service.desktop.getTrack(body);
    default: return tracker(service, route % 13 - 9, body);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Service service;
    if (size == 0)
        return 0;
    const std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
    service::parseRequest(body);
    // Every answer must be writable as the text that is sent.
    answer(service, data[0], service.substituted(body)).text();
    return 0;
}
