#pragma once

#include "service/store.h"

#include <cstdint>
#include <optional>
#include <string>

namespace service {

struct Demo {
    User user;
    int64_t fixes = 0;
    int64_t from = 0; // UTC ms of the first fix
    int64_t to = 0;   // and of the last
};

// Creates a demo phone with a walking track in Munich (Europe/Berlin): a fix
// every 30 s from a week before `now` to a day after it, so that photos taken
// while trying the program out find a position. Day walks through the city,
// nights at the same place.
// Nothing, with the reason in `error`, when the database fails.
std::optional<Demo> createDemo(Store& store, int64_t now, std::string* error = nullptr);

// The position of the demo track at a UTC moment (also between its fixes).
Fix demoPosition(int64_t utcMs);

} // namespace service
