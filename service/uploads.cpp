#include "service/uploads.h"


#include <QTemporaryFile>

#include <httplib.h>

namespace service {

namespace {

// At most this many files on disk at once.
constexpr int maxImports = 2;

// Leaves the count of imports under way when the request is answered.
class Admission {
public:
    explicit Admission(std::atomic<int>& importing) : importing_(importing), admitted_(++importing <= maxImports) {}
    ~Admission() { --importing_; }
    Admission(const Admission&) = delete;
    Admission& operator=(const Admission&) = delete;
    bool admitted() const { return admitted_; }

private:
    std::atomic<int>& importing_;
    const bool admitted_;
};

} // namespace

Reply TrackUploads::receive(const httplib::Response& response, const httplib::ContentReader& content,
                            const std::function<Reply(const std::string& path)>& import)
{
    const Admission admission(importing_);
    QTemporaryFile file;
    bool writable = admission.admitted() && file.open();
    int64_t received = 0;
    const bool complete = content([&](const char* data, size_t length) {
        received += static_cast<int64_t>(length);
        if (writable && received <= static_cast<int64_t>(maxTrackBytes))
            writable = file.write(data, static_cast<qint64>(length)) == static_cast<qint64>(length);
        return true;
    });
    if (!complete || received > static_cast<int64_t>(maxTrackBytes)) {
        const bool tooLarge = received > static_cast<int64_t>(maxTrackBytes) || response.status == 413;
        return tooLarge ? Reply::make(413, "Track file too large",
                                      "Track files of up to " + std::to_string(maxTrackBytes >> 20) + " MB can be imported.")
                        : Reply::make(400, "Upload broken off", "The track file did not arrive whole.");
    }
    if (!admission.admitted())
        return Reply::make(503, "Busy", "The service is importing other tracks; try again in a minute.");
    if (!writable || !file.flush())
        return Reply::make(500, "Server error", "The service has no room for the track file.");
    return import(file.fileName().toStdString());
}

} // namespace service
