#pragma once

#include <map>
#include <string>
#include <vector>

// One JSON value as a tree. Numbers and booleans are held as their text;
// object members are kept in ascending byte order of their keys. Parsing never
// fails loudly (bad text gives Null) and every lookup is total.
class JsonValue {
public:
    enum Kind {
        Null = 0,
        Integer = 1,
        Boolean = 2,
        Double = 3,
        String = 4,
        Array = 5,
        Object = 6,
    };

    // Texts nested deeper than this parse as Null.
    static constexpr int maxDepth = 512;

    JsonValue() = default;
    JsonValue(bool value);
    JsonValue(int value);
    JsonValue(long long value);
    JsonValue(double value);
    JsonValue(const char* value);

    JsonValue& operator=(const std::string& value);
    JsonValue& operator=(const char* value);
    JsonValue& operator=(int value);

    // Makes this an Object and returns the member under key, inserting Null.
    JsonValue& operator[](const std::string& key);
    // Makes this an Array (if it is not one) and appends a Null element.
    JsonValue& append();

    bool isNull() const { return kind == Null; }
    unsigned size() const;
    const JsonValue& get(const std::string& key) const;
    const JsonValue& at(unsigned index) const;
    const char* asString(const char* fallback) const;
    int asInt(int fallback) const;
    double asDouble(double fallback) const;

    static JsonValue parse(const std::string& text);
    std::string serialize() const;

    // The one Null that failed lookups return.
    static const JsonValue& sharedNull();

    int kind = Null;
    std::string text;
    std::vector<JsonValue> items;
    std::map<std::string, JsonValue> members;

private:
    void serializeTo(std::string& out) const;
};
