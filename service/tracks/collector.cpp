#include "service/tracks/reader.h"

#include "service/tzlookup.h"

namespace service {

int64_t TrackReading::skippedCount() const
{
    int64_t total = 0;
    for (const auto& entry : skipped)
        total += entry.second;
    return total;
}

namespace tracks {

Collector::Collector(TrackReading& reading, const std::string& zoneId, int64_t now, const FixSink& sink,
                     const ReadProgress& progress, int64_t total)
    : reading_(reading), zoneId_(zoneId), now_(now), sink_(sink), progress_(progress), total_(total)
{
}

void Collector::noteFormat(const std::string& format)
{
    if (reading_.format.empty())
        reading_.format = format;
}

void Collector::skip(const std::string& why, const std::string& where)
{
    ++reading_.skipped[why];
    if (reading_.firstSkip.empty())
        reading_.firstSkip = where + ": " + why;
}

bool Collector::add(Fix fix, const std::string& where)
{
    if (stopped_)
        return false;
    fix.zoneId = zoneId_.empty() ? zoneAt(fix.latitude, fix.longitude) : zoneId_;
    std::string invalid;
    if (!validFix(fix, now_, &invalid)) {
        skip(invalid, where);
        return true;
    }
    // Positions from cell towers and the like would place photos wrongly.
    if (fix.accuracy > maxAccuracyMetres) {
        skip("accuracy worse than 1 km", where);
        return true;
    }
    return hand(fix);
}

bool Collector::hand(const Fix& fix)
{
    if (stopped_)
        return false;
    ++reading_.points;
    if (sink_ && !sink_(fix))
        stopped_ = true;
    return !stopped_;
}

void Collector::progress(int64_t done)
{
    done = static_cast<int64_t>(static_cast<double>(done) / bytesPerFileByte_);
    if (progress_ && done - reported_ >= (1 << 20)) {
        reported_ = done;
        progress_(done, total_);
    }
}

void Collector::finish()
{
    if (progress_)
        progress_(total_, total_);
}

std::string lineText(int64_t line)
{
    return "line " + std::to_string(line);
}

bool fail(std::string* error, const std::string& why)
{
    if (error)
        *error = why;
    return false;
}

} // namespace tracks

} // namespace service
