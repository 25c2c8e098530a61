#include "geobuf.h"

#include <stdexcept>

namespace zoneconvert {

namespace {

enum Wire { varintWire = 0, fixed64Wire = 1, lengthWire = 2, fixed32Wire = 5 };

// A protobuf message between two pointers; every read stays within them.
class Reader {
public:
    Reader(const uint8_t* at, const uint8_t* end) : at_(at), end_(end) { }

    bool atEnd() const { return at_ >= end_; }

    uint64_t varint()
    {
        uint64_t value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (at_ >= end_)
                throw std::runtime_error("geobuf: a number runs past the end of its message");
            const uint8_t byte = *at_++;
            value |= static_cast<uint64_t>(byte & 0x7f) << shift;
            if (!(byte & 0x80))
                return value;
        }
        throw std::runtime_error("geobuf: a number longer than ten bytes");
    }

    // The next field's number and wire type.
    void field(uint32_t& number, int& wire)
    {
        const uint64_t key = varint();
        number = static_cast<uint32_t>(key >> 3);
        wire = static_cast<int>(key & 7);
    }

    Reader message()
    {
        const uint64_t length = varint();
        if (length > static_cast<uint64_t>(end_ - at_))
            throw std::runtime_error("geobuf: a field runs past the end of its message");
        Reader inner(at_, at_ + length);
        at_ += length;
        return inner;
    }

    std::string text()
    {
        const Reader inner = message();
        return std::string(reinterpret_cast<const char*>(inner.at_), static_cast<size_t>(inner.end_ - inner.at_));
    }

    void skip(int wire)
    {
        if (wire == varintWire)
            varint();
        else if (wire == lengthWire)
            message();
        else if (wire == fixed64Wire || wire == fixed32Wire)
            advance(wire == fixed64Wire ? 8 : 4);
        else
            throw std::runtime_error("geobuf: unknown wire type " + std::to_string(wire));
    }

    void packed(int wire, std::vector<uint64_t>& into)
    {
        if (wire == varintWire) {
            into.push_back(varint());
            return;
        }
        if (wire != lengthWire)
            throw std::runtime_error("geobuf: a packed field of wire type " + std::to_string(wire));
        Reader inner = message();
        while (!inner.atEnd())
            into.push_back(inner.varint());
    }

private:
    void advance(size_t bytes)
    {
        if (bytes > static_cast<size_t>(end_ - at_))
            throw std::runtime_error("geobuf: a field runs past the end of its message");
        at_ += bytes;
    }

    const uint8_t* at_;
    const uint8_t* end_;
};

int64_t zigzag(uint64_t value)
{
    return static_cast<int64_t>(value >> 1) ^ -static_cast<int64_t>(value & 1);
}

struct Geometry {
    uint64_t type = 0;
    std::vector<uint64_t> lengths;
    std::vector<uint64_t> coords;
    std::vector<Geometry> parts;
};

enum GeometryType { polygonType = 4, multiPolygonType = 5, collectionType = 6 };

Geometry readGeometry(Reader reader, int depth)
{
    if (depth > 16)
        throw std::runtime_error("geobuf: geometry collections nested too deep");
    Geometry geometry;
    while (!reader.atEnd()) {
        uint32_t number;
        int wire;
        reader.field(number, wire);
        if (number == 1 && wire == varintWire)
            geometry.type = reader.varint();
        else if (number == 2)
            reader.packed(wire, geometry.lengths);
        else if (number == 3)
            reader.packed(wire, geometry.coords);
        else if (number == 4 && wire == lengthWire)
            geometry.parts.push_back(readGeometry(reader.message(), depth + 1));
        else
            reader.skip(wire);
    }
    return geometry;
}

// Turns the delta-coded coordinates into rings, as geobuf's decode.js does.
class RingMaker {
public:
    RingMaker(const Geometry& geometry, uint64_t dimensions, int64_t scale, std::vector<std::vector<Point>>& rings)
        : geometry_(geometry), dimensions_(dimensions), scale_(scale), rings_(rings)
    {
    }

    void make()
    {
        const uint64_t points = geometry_.coords.size() / dimensions_;
        const std::vector<uint64_t>& lengths = geometry_.lengths;
        if (geometry_.type == polygonType) {
            if (lengths.empty())
                ring(points);
            for (uint64_t length : lengths)
                ring(length);
        } else if (geometry_.type == multiPolygonType) {
            if (lengths.empty())
                ring(points);
            size_t at = 1;
            for (uint64_t polygon = 0; !lengths.empty() && polygon < lengths[0]; ++polygon) {
                const uint64_t count = lengthAt(at);
                for (uint64_t k = 0; k < count; ++k)
                    ring(lengthAt(at + 1 + k));
                at += count + 1;
            }
        }
        if (next_ != geometry_.coords.size())
            throw std::runtime_error("geobuf: the lengths of a geometry do not add up to its coordinates");
    }

private:
    uint64_t lengthAt(size_t at) const
    {
        if (at >= geometry_.lengths.size())
            throw std::runtime_error("geobuf: a geometry lists fewer lengths than its polygons need");
        return geometry_.lengths[at];
    }

    void ring(uint64_t length)
    {
        if (length > (geometry_.coords.size() - next_) / dimensions_)
            throw std::runtime_error("geobuf: a ring is longer than the coordinates left");
        std::vector<Point> points;
        points.reserve(length);
        Point point { 0, 0 };
        for (uint64_t i = 0; i < length; ++i) {
            point.x += zigzag(geometry_.coords[next_]);
            point.y += zigzag(geometry_.coords[next_ + 1]);
            next_ += dimensions_;
            points.push_back({ point.x * scale_, point.y * scale_ });
        }
        if (points.size() >= 3)
            rings_.push_back(std::move(points));
    }

    const Geometry& geometry_;
    const uint64_t dimensions_;
    const int64_t scale_;
    std::vector<std::vector<Point>>& rings_;
    size_t next_ = 0;
};

void addRings(const Geometry& geometry, uint64_t dimensions, int64_t scale, std::vector<std::vector<Point>>& rings)
{
    if (geometry.type == collectionType) {
        for (const Geometry& part : geometry.parts)
            addRings(part, dimensions, scale, rings);
    } else if (geometry.type == polygonType || geometry.type == multiPolygonType) {
        RingMaker(geometry, dimensions, scale, rings).make();
    }
}

struct Format {
    std::vector<std::string> keys;
    uint64_t dimensions = 2;
    int64_t scale = 1; // to millionths of a degree
};

Feature readFeature(Reader reader, const Format& format)
{
    Feature feature;
    std::vector<std::string> values;
    Geometry geometry;
    while (!reader.atEnd()) {
        uint32_t number;
        int wire;
        reader.field(number, wire);
        if (number == 1 && wire == lengthWire) {
            geometry = readGeometry(reader.message(), 0);
        } else if (number == 13 && wire == lengthWire) {
            // A Value: its string, or nothing for the other kinds.
            Reader value = reader.message();
            std::string text;
            while (!value.atEnd()) {
                uint32_t kind;
                int valueWire;
                value.field(kind, valueWire);
                if (kind == 1 && valueWire == lengthWire)
                    text = value.text();
                else
                    value.skip(valueWire);
            }
            values.push_back(std::move(text));
        } else if (number == 14) {
            std::vector<uint64_t> pairs;
            reader.packed(wire, pairs);
            for (size_t i = 0; i + 1 < pairs.size(); i += 2) {
                if (pairs[i] >= format.keys.size() || pairs[i + 1] >= values.size())
                    throw std::runtime_error("geobuf: a property refers to a missing key or value");
                if (format.keys[pairs[i]] == "tzid")
                    feature.tzid = values[pairs[i + 1]];
            }
        } else {
            reader.skip(wire);
        }
    }
    addRings(geometry, format.dimensions, format.scale, feature.rings);
    return feature;
}

} // namespace

std::vector<Feature> decodeFeatures(const uint8_t* data, size_t size)
{
    Reader reader(data, data + size);
    Format format;
    std::vector<Reader> collections;
    while (!reader.atEnd()) {
        uint32_t number;
        int wire;
        reader.field(number, wire);
        if (number == 1 && wire == lengthWire) {
            format.keys.push_back(reader.text());
        } else if (number == 2 && wire == varintWire) {
            format.dimensions = reader.varint();
            if (format.dimensions < 2 || format.dimensions > 4)
                throw std::runtime_error("geobuf: " + std::to_string(format.dimensions) + " dimensions");
        } else if (number == 3 && wire == varintWire) {
            const uint64_t precision = reader.varint();
            if (precision > 6)
                throw std::runtime_error("geobuf: coordinates with " + std::to_string(precision)
                                         + " decimals; at most 6 are read");
            format.scale = 1;
            for (uint64_t i = precision; i < 6; ++i)
                format.scale *= 10;
        } else if (number == 4 && wire == lengthWire) {
            collections.push_back(reader.message());
        } else {
            reader.skip(wire);
        }
    }
    std::vector<Feature> features;
    for (Reader collection : collections) {
        while (!collection.atEnd()) {
            uint32_t number;
            int wire;
            collection.field(number, wire);
            if (number == 1 && wire == lengthWire)
                features.push_back(readFeature(collection.message(), format));
            else
                collection.skip(wire);
        }
    }
    return features;
}

} // namespace zoneconvert
