#pragma once

#include "service/api.h"

#include <atomic>
#include <functional>

namespace httplib {
class ContentReader;
struct Response;
} // namespace httplib

namespace service {

// Track files of the desktop program's users (PUT /importTrack), streamed to
// a temporary file and imported from there. At most two are on disk at once;
// a further one is read and dropped, and its sender asked to try again.
class TrackUploads {
public:
    // Reads the body through `content` into a file and answers what
    // `import` answers for the file's path. The response tells whether the
    // library refused the body as too large.
    Reply receive(const httplib::Response& response, const httplib::ContentReader& content,
                  const std::function<Reply(const std::string& path)>& import);

private:
    std::atomic<int> importing_ { 0 };
};

} // namespace service
