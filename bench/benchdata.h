#pragma once

// What several benchmarks share: the memory the process holds, and the fixes
// of a phone walking around Munich that they load into a database.

#include "service/timegeo.h"

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <fstream>

namespace bench {

// The resident memory of this process, in KB.
inline long residentKb()
{
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Fix i of a walk that starts at start (Unix ms), a fix every stepMs.
inline service::Fix walkFix(int64_t start, int64_t i, int64_t stepMs)
{
    service::Fix fix;
    fix.time = start + i * stepMs;
    fix.latitude = 48 + 0.5 * std::sin(i * 1e-4);
    fix.longitude = 11 + 0.5 * std::cos(i * 1e-4);
    fix.altitude = 500 + (i % 100);
    fix.accuracy = 5 + (i % 10);
    fix.zoneId = i % 2 ? "Europe/Berlin" : "Europe/Vienna";
    return fix;
}

} // namespace bench
