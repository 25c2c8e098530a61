#include "service/trackthin.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <queue>

namespace service {

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr double metresPerMicroDegree = earthRadiusMetres * pi / 180 / 1e6;
constexpr int64_t halfTurn = 180000000; // micro-degrees

// A segment on the flat map around it: `a` at the origin, x east, y north.
class Frame {
public:
    Frame(const TrackPoint& a, const TrackPoint& b)
        : latitude_(a.latitude), longitude_(a.longitude),
          east_(metresPerMicroDegree * std::fabs(std::cos((double(a.latitude) + b.latitude) / 2 * 1e-6 * pi / 180)))
    {
        x_ = eastOf(b.longitude) * east_;
        y_ = (double(b.latitude) - latitude_) * metresPerMicroDegree;
        length2_ = x_ * x_ + y_ * y_;
    }

    // The square of the distance of `p` from the segment.
    double distance2(const TrackPoint& p) const
    {
        const double x = eastOf(p.longitude) * east_;
        const double y = (double(p.latitude) - latitude_) * metresPerMicroDegree;
        // Beyond an end, the distance to that end; between them, the
        // distance to the line, which is exactly 0 for a point on a line
        // along a parallel or a meridian.
        const double along = x * x_ + y * y_;
        if (along <= 0)
            return x * x + y * y;
        if (along >= length2_)
            return (x - x_) * (x - x_) + (y - y_) * (y - y_);
        const double cross = x * y_ - y * x_;
        return cross * cross / length2_;
    }

private:
    // Micro-degrees east of `a`, the short way round.
    double eastOf(int32_t longitude) const
    {
        int64_t difference = int64_t(longitude) - longitude_;
        if (difference > halfTurn)
            difference -= 2 * halfTurn;
        else if (difference < -halfTurn)
            difference += 2 * halfTurn;
        return double(difference);
    }

    int64_t latitude_, longitude_;
    double east_; // metres per micro-degree of longitude
    double x_ = 0, y_ = 0, length2_ = 0;
};

// A segment between two kept points and its point farthest from it.
struct Split {
    double distance2 = 0;
    size_t first = 0, last = 0, farthest = 0;
    bool operator<(const Split& other) const { return distance2 < other.distance2; }
};

using Splits = std::priority_queue<Split>;

// Queues the segment from `first` to `last` when points lie between them.
void addSegment(Splits& splits, const std::vector<TrackPoint>& track, size_t first, size_t last)
{
    if (last - first < 2)
        return;
    const Frame frame(track[first], track[last]);
    Split split { -1, first, last, first + 1 };
    for (size_t i = first + 1; i < last; ++i) {
        const double d2 = frame.distance2(track[i]);
        if (d2 > split.distance2)
            split.distance2 = d2, split.farthest = i;
    }
    splits.push(split);
}

} // namespace

double segmentDistance(const TrackPoint& point, const TrackPoint& a, const TrackPoint& b)
{
    return std::sqrt(Frame(a, b).distance2(point));
}

ThinnedTrack thinTrack(const std::vector<TrackPoint>& track, size_t maxPoints)
{
    ThinnedTrack thinned;
    const size_t count = track.size();
    maxPoints = std::max<size_t>(maxPoints, 2);
    if (count <= maxPoints) {
        thinned.kept.resize(count);
        std::iota(thinned.kept.begin(), thinned.kept.end(), size_t(0));
        return thinned;
    }
    const size_t pieces = std::max<size_t>(1, maxPoints / 8);
    const size_t piece = std::max(thinPieceLength, (count - 1 + pieces - 1) / pieces);
    thinned.kept.reserve(maxPoints);
    Splits splits;
    for (size_t first = 0; first < count - 1; first += piece) {
        thinned.kept.push_back(first);
        addSegment(splits, track, first, std::min(first + piece, count - 1));
    }
    thinned.kept.push_back(count - 1);
    while (thinned.kept.size() < maxPoints && !splits.empty() && splits.top().distance2 > 0) {
        const Split split = splits.top();
        splits.pop();
        thinned.kept.push_back(split.farthest);
        addSegment(splits, track, split.first, split.farthest);
        addSegment(splits, track, split.farthest, split.last);
    }
    thinned.tolerance = splits.empty() ? 0 : std::sqrt(splits.top().distance2);
    std::sort(thinned.kept.begin(), thinned.kept.end());
    return thinned;
}

} // namespace service
