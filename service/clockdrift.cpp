#include "service/clockdrift.h"

#include "service/timegeo.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace service {

namespace {

// A drift is only measured between synchronizations at least this far apart:
// closer ones differ by how exactly each was read more than by drift.
constexpr int64_t minDriftBaseMs = dayMs;
// How exactly one synchronization tells the offset: the camera's reading to
// the second (its fraction unknown), or to the millisecond, when what is
// left is how fast the code's time was shown and the shutter's lag.
constexpr double wholeSecondUncertaintyMs = 500;
constexpr double subSecondUncertaintyMs = 100;
// What a photo read to the second adds.
constexpr double photoWholeSecondUncertaintyMs = 500;
// A camera's clock drifts this much a day when nothing measured its drift
// (a few seconds a week is common), and a measured drift may change by this
// share of itself (with the temperature, say).
constexpr double unknownDriftMsPerDay = 500;
constexpr double driftChangeShare = 0.5;

double syncUncertainty(const ClockSync& sync)
{
    return sync.subSeconds() ? subSecondUncertaintyMs : wholeSecondUncertaintyMs;
}

bool clockWasSet(const ClockSync& a, const ClockSync& b)
{
    const double change = std::abs(static_cast<double>(b.offset() - a.offset()));
    const double days = std::abs(static_cast<double>(b.utcTime - a.utcTime)) / dayMs;
    return change > clockSetChangeMs || change > clockSetChangePerDayMs * days + clockSetSlackMs;
}

// The synchronization of the span nearest `end` in time yet at least
// minDriftBaseMs from it, going towards the span's other end; none: `end`.
size_t driftPartner(const std::vector<ClockSync>& syncs, const ClockSpan& span, size_t end)
{
    if (end == span.last) {
        for (size_t i = end; i-- > span.first;)
            if (syncs[end].utcTime - syncs[i].utcTime >= minDriftBaseMs)
                return i;
    } else {
        for (size_t i = end + 1; i <= span.last; ++i)
            if (syncs[i].utcTime - syncs[end].utcTime >= minDriftBaseMs)
                return i;
    }
    return end;
}

// The clock's rate against true time between two synchronizations: ms it
// gains per ms of its own reading.
double slope(const ClockSync& a, const ClockSync& b)
{
    const double reading = static_cast<double>(b.cameraTime - a.cameraTime);
    return reading == 0 ? 0 : static_cast<double>(b.offset() - a.offset()) / reading;
}

// Follows the line of the span from its end `end` to the reading `cameraTime`
// for at most maxExtrapolationMs; the sync part of the uncertainty in `sync`.
ClockEstimate extrapolate(const std::vector<ClockSync>& syncs, const ClockSpan& span, size_t end, int64_t cameraTime,
                          double* sync)
{
    ClockEstimate estimate;
    const ClockSync& from = syncs[end];
    const size_t partner = driftPartner(syncs, span, end);
    const double distance = std::abs(static_cast<double>(cameraTime - from.cameraTime));
    if (partner == end) {
        estimate.offsetMs = from.offset();
        estimate.used = { end };
        *sync = syncUncertainty(from) + unknownDriftMsPerDay * distance / dayMs;
        return estimate;
    }
    const double rate = slope(syncs[std::min(end, partner)], syncs[std::max(end, partner)]);
    const double followed = std::min(distance, double(maxExtrapolationMs));
    const double signedFollowed = cameraTime >= from.cameraTime ? followed : -followed;
    estimate.offsetMs = from.offset() + std::llround(rate * signedFollowed);
    estimate.method = distance > maxExtrapolationMs ? ClockMethod::Held : ClockMethod::Extrapolated;
    estimate.used = { std::min(end, partner), std::max(end, partner) };
    const double base = std::abs(static_cast<double>(from.cameraTime - syncs[partner].cameraTime));
    *sync = syncUncertainty(from) + (syncUncertainty(from) + syncUncertainty(syncs[partner])) * followed / base
        + std::abs(rate) * (driftChangeShare * followed + (distance - followed));
    return estimate;
}

// Within the span's readings: the line between the two synchronizations
// around `cameraTime`.
ClockEstimate interpolate(const std::vector<ClockSync>& syncs, const ClockSpan& span, size_t nearest, int64_t cameraTime,
                          double* sync)
{
    ClockEstimate estimate;
    for (size_t i = span.first; i < span.last; ++i) {
        const ClockSync& a = syncs[i];
        const ClockSync& b = syncs[i + 1];
        if (a.cameraTime > cameraTime || cameraTime > b.cameraTime || a.cameraTime == b.cameraTime)
            continue;
        const double share = static_cast<double>(cameraTime - a.cameraTime) / static_cast<double>(b.cameraTime - a.cameraTime);
        estimate.offsetMs = a.offset() + std::llround(share * static_cast<double>(b.offset() - a.offset()));
        estimate.method = ClockMethod::Interpolated;
        estimate.used = { i, i + 1 };
        *sync = (1 - share) * syncUncertainty(a) + share * syncUncertainty(b);
        return estimate;
    }
    // A reading at a synchronization, or among ones out of order.
    estimate.offsetMs = syncs[nearest].offset();
    estimate.used = { nearest };
    *sync = syncUncertainty(syncs[nearest]);
    return estimate;
}

size_t nearestInReading(const std::vector<ClockSync>& syncs, int64_t cameraTime)
{
    size_t nearest = 0;
    for (size_t i = 1; i < syncs.size(); ++i)
        if (std::abs(syncs[i].cameraTime - cameraTime) <= std::abs(syncs[nearest].cameraTime - cameraTime))
            nearest = i;
    return nearest;
}

} // namespace

std::vector<ClockSpan> clockSpans(const std::vector<ClockSync>& syncs)
{
    std::vector<ClockSpan> spans;
    for (size_t i = 0; i < syncs.size(); ++i) {
        if (spans.empty() || clockWasSet(syncs[i - 1], syncs[i]))
            spans.push_back({ i, i });
        else
            spans.back().last = i;
    }
    return spans;
}

ClockEstimate estimateOffset(const std::vector<ClockSync>& syncs, int64_t cameraTime, bool photoSubSeconds)
{
    const std::vector<ClockSpan> spans = clockSpans(syncs);
    const size_t nearest = nearestInReading(syncs, cameraTime);
    const auto spanAt = std::find_if(spans.begin(), spans.end(),
                                     [nearest](const ClockSpan& s) { return s.first <= nearest && nearest <= s.last; });
    const ClockSpan& span = *spanAt;
    int64_t earliest = syncs[span.first].cameraTime, latest = earliest;
    for (size_t i = span.first; i <= span.last; ++i) {
        earliest = std::min(earliest, syncs[i].cameraTime);
        latest = std::max(latest, syncs[i].cameraTime);
    }
    double sync = 0;
    ClockEstimate estimate;
    if (cameraTime >= earliest && cameraTime <= latest) {
        estimate = interpolate(syncs, span, nearest, cameraTime, &sync);
    } else {
        const bool later = cameraTime > latest;
        estimate = extrapolate(syncs, span, later ? span.last : span.first, cameraTime, &sync);
        // Readings between two settings of the clock take the nearer side.
        const bool outermost = later ? spanAt + 1 == spans.end() : spanAt == spans.begin();
        if (!outermost) {
            const size_t other = later ? (spanAt + 1)->first : (spanAt - 1)->last;
            const size_t from = later ? span.last : span.first;
            estimate.method = ClockMethod::Nearer;
            estimate.clockChanged = true;
            estimate.nearer = from;
            estimate.used = { std::min(from, other), std::max(from, other) };
        }
    }
    const double photo = photoSubSeconds ? 0 : photoWholeSecondUncertaintyMs;
    estimate.uncertaintyMs = std::llround(std::hypot(sync, photo));
    return estimate;
}

std::optional<double> latestDriftPerWeek(const std::vector<ClockSync>& syncs)
{
    const std::vector<ClockSpan> spans = clockSpans(syncs);
    if (spans.empty())
        return std::nullopt;
    const ClockSpan& last = spans.back();
    const size_t partner = driftPartner(syncs, last, last.last);
    if (partner == last.last)
        return std::nullopt;
    return slope(syncs[partner], syncs[last.last]) * 7 * dayMs;
}

std::string driftText(std::optional<double> msPerWeek)
{
    if (!msPerWeek)
        return std::string();
    const int64_t seconds = std::llround(std::abs(*msPerWeek) / 1000);
    if (seconds == 0)
        return "drifts less than 1 s a week";
    return "drifts " + durationText(seconds * 1000) + " a week";
}

const char* methodName(ClockMethod method)
{
    switch (method) {
    case ClockMethod::One:
        return "one";
    case ClockMethod::Interpolated:
        return "interpolated";
    case ClockMethod::Extrapolated:
        return "extrapolated";
    case ClockMethod::Held:
        return "held";
    case ClockMethod::Nearer:
        return "nearer";
    }
    return "one";
}

std::string clockText(const ClockEstimate& estimate, const std::vector<ClockSync>& syncs)
{
    const std::string a = syncs.at(estimate.used.front()).label;
    const std::string b = syncs.at(estimate.used.back()).label;
    switch (estimate.method) {
    case ClockMethod::One:
        return "The clock offset comes from the synchronization of " + a + ".";
    case ClockMethod::Interpolated:
        return "The clock offset is interpolated between the synchronizations of " + a + " and " + b + ".";
    case ClockMethod::Extrapolated:
        return "The clock offset is extrapolated from the synchronizations of " + a + " and " + b
            + " with the camera's drift.";
    case ClockMethod::Held:
        return "The clock offset is extrapolated from the synchronizations of " + a + " and " + b
            + " for 30 days and held since.";
    case ClockMethod::Nearer:
        break;
    }
    return "The camera's clock was set between the synchronizations of " + a + " and " + b
        + "; the clock offset comes from the nearer one, of " + syncs.at(estimate.nearer).label + ".";
}

} // namespace service
