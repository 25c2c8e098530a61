#pragma once

#include <string>
#include <string_view>

namespace service {

// A request's line and headers as the client sent them. The HTTP library
// hands its handlers header values percent-decoded and cut at a NUL byte, so
// "Bearer KEY%00junk" would read as "Bearer KEY"; credentials and the Host
// name are read from here instead, byte for byte.
class RawHead {
public:
    explicit RawHead(std::string text) : text_(std::move(text)) {}

    // The value of the first header `name` (in any case), without the spaces
    // and tabs around it; empty when there is none.
    std::string value(std::string_view name) const;
    // The value of the last header `name`, trimmed alike.
    std::string last(std::string_view name) const;
    // How many headers `name` the head has.
    int count(std::string_view name) const;

private:
    // Calls `take` with the value of each header `name`, until it is false.
    template <class Take>
    void each(std::string_view name, Take take) const;

    std::string text_;
};

} // namespace service
