#pragma once

#include <httplib.h>

namespace service {

enum class Method { Get, Post, Put };

// How a route's body is read.
enum class Body {
    Library,  // by the HTTP library, before the handler runs
    Kept,     // as it arrives, up to maxRequestBytes (withBody)
    Streamed, // by the handler itself
};

// One route of an owner's table: the method, the path, and the member
// function that answers it (`stream` for a streamed body, `answer` else).
template <class Owner>
struct Route {
    using Answer = void (Owner::*)(const httplib::Request&, httplib::Response&);
    using Stream = void (Owner::*)(const httplib::Request&, httplib::Response&, const httplib::ContentReader&);

    Method method;
    const char* path;
    Answer answer;
    Body body = Body::Library;
    Stream stream = nullptr;
};

// A handler whose body is read as it arrives: at most maxRequestBytes are
// kept; a larger body is read to its end and dropped, and the request refused.
httplib::Server::HandlerWithContentReader withBody(httplib::Server::Handler handle);

void addRoute(httplib::Server& server, Method method, const char* path, httplib::Server::Handler handle);
// Only for POST and PUT: a GET has no body to stream.
void addRoute(httplib::Server& server, Method method, const char* path,
              httplib::Server::HandlerWithContentReader handle);

// Adds every route of the table, answered by `owner`.
template <class Owner, size_t count>
void addRoutes(httplib::Server& server, Owner& owner, const Route<Owner> (&table)[count])
{
    for (const Route<Owner>& route : table) {
        if (route.body == Body::Streamed) {
            const auto stream = route.stream;
            addRoute(server, route.method, route.path,
                     httplib::Server::HandlerWithContentReader(
                         [&owner, stream](const httplib::Request& request, httplib::Response& response,
                                          const httplib::ContentReader& content) { (owner.*stream)(request, response, content); }));
            continue;
        }
        const auto answer = route.answer;
        httplib::Server::Handler handle = [&owner, answer](const httplib::Request& request, httplib::Response& response) {
            (owner.*answer)(request, response);
        };
        if (route.body == Body::Kept)
            addRoute(server, route.method, route.path, withBody(std::move(handle)));
        else
            addRoute(server, route.method, route.path, std::move(handle));
    }
}

} // namespace service
