#pragma once

#include <cstddef>
#include <cstdint>

// The limits of the service's protocol that its clients keep to as well:
// plain constants, shared by the service and the desktop program.
namespace service {

// Requests bigger than this are refused before they are read.
constexpr std::size_t maxRequestBytes = 1024 * 1024;

// Track files sent to importTrack may be this large; Google's location
// history runs to tens of megabytes, anything beyond this is not a track.
constexpr std::size_t maxTrackBytes = 256 * 1024 * 1024;

// A request's line and headers together may be this long; a longer head is
// refused.
constexpr std::size_t maxHeadBytes = 64 * 1024;

// getTrack answers at most this many positions of a span, thinned so that
// the line keeps its shape.
constexpr std::size_t maxTrackPositions = 20000;

// Requests without credentials from one client address beyond loopback may
// have the service make this many new users within an hour.
constexpr int newUsersPerAddress = 10;
constexpr std::int64_t newUserWindowMs = 60 * 60 * 1000;

} // namespace service
