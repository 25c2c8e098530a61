#include "service/routetable.h"

#include "service/api.h"
#include "service/httpreply.h"

namespace service {

httplib::Server::HandlerWithContentReader withBody(httplib::Server::Handler handle)
{
    return [handle](const httplib::Request& request, httplib::Response& response,
                    const httplib::ContentReader& content) {
        std::string body;
        bool tooLarge = false;
        const bool complete = content([&](const char* data, size_t length) {
            if (body.size() + length > maxRequestBytes)
                tooLarge = true;
            else
                body.append(data, length);
            return true;
        });
        if (tooLarge || response.status == 413) {
            answer(response, Reply::make(413, "Request too large", "The service cannot answer this request (HTTP status 413)."));
            return;
        }
        if (!complete) {
            answer(response, Reply::make(400, "Bad request", "The request's body did not arrive whole."));
            return;
        }
        httplib::Request whole = request;
        whole.body = std::move(body);
        handle(whole, response);
    };
}

void addRoute(httplib::Server& server, Method method, const char* path, httplib::Server::Handler handle)
{
    switch (method) {
    case Method::Get: server.Get(path, std::move(handle)); return;
    case Method::Post: server.Post(path, std::move(handle)); return;
    case Method::Put: server.Put(path, std::move(handle)); return;
    }
}

void addRoute(httplib::Server& server, Method method, const char* path,
              httplib::Server::HandlerWithContentReader handle)
{
    if (method == Method::Post)
        server.Post(path, std::move(handle));
    else
        server.Put(path, std::move(handle));
}

} // namespace service
