#pragma once

#include "service/api.h"

#include <atomic>

namespace httplib {
class ContentReader;
struct Request;
struct Response;
} // namespace httplib

namespace service {

// Track files of the desktop program's users (PUT /importTrack), streamed to
// a temporary file and imported from there. At most two are on disk at once;
// a further one is read and dropped, and its sender asked to try again.
class TrackUploads {
public:
    explicit TrackUploads(Api& api);

    // Reads the body through `content` and imports it for the user of the
    // Kestrel-User-ID header, under the name of Kestrel-File-Name. The
    // response tells whether the library refused the body as too large.
    Reply receive(const httplib::Request& request, const httplib::Response& response,
                  const httplib::ContentReader& content);

private:
    Api& api_;
    std::atomic<int> importing_ { 0 };
};

} // namespace service
