#include <QtTest>

#include <clocale>

#include "json/jsonvalue.h"

Q_DECLARE_METATYPE(std::string)

class TestJsonValue : public QObject {
    Q_OBJECT
private slots:
    void parseAndWrite_data();
    void parseAndWrite();
    void malformedGivesNull_data();
    void malformedGivesNull();
    void strings_data();
    void strings();
    void kindsAndTexts();
    void writerEscapesAndOrder();
    void buildingTrees();
    void totalLookups();
    void hugeInputsDoNotCrash();
    void nestingLimit();
    void independentOfLocale();
};

static std::string s(const char* text)
{
    return std::string(text);
}

void TestJsonValue::parseAndWrite_data()
{
    QTest::addColumn<std::string>("text");
    QTest::addColumn<std::string>("written");
    QTest::newRow("empty object") << s("{}") << s("{}");
    QTest::newRow("empty array") << s("[]") << s("[]");
    QTest::newRow("white space") << s(" \t\r\n{ \"a\"\t:\r\n1 }\n") << s("{\"a\":1}");
    QTest::newRow("repeated key") << s("{\"a\":1,\"a\":2}") << s("{\"a\":2}");
    QTest::newRow("exponent") << s("1.5e3") << s("1500.000000");
    QTest::newRow("six decimals") << s("45.12345678") << s("45.123457");
    QTest::newRow("beyond 64 bits") << s("123456789012345678901") << s("123456789012345683968.000000");
    QTest::newRow("minus zero") << s("-0") << s("0");
    QTest::newRow("leading zeros") << s("007") << s("7");
    QTest::newRow("plus sign") << s("+5") << s("5");
    QTest::newRow("trailing dot") << s("2.") << s("2.000000");
    QTest::newRow("int64 max") << s("9223372036854775807") << s("9223372036854775807");
    QTest::newRow("int64 min") << s("-9223372036854775808") << s("-9223372036854775808");
    QTest::newRow("literals") << s("[true,false,null]") << s("[true,false,null]");
    QTest::newRow("key order") << s("{\"b\":1,\"a\":2,\"B\":3}") << s("{\"B\":3,\"a\":2,\"b\":1}");
    QTest::newRow("nested") << s("{\"c\":[{\"d\":[]},{}],\"e\":\"f\"}") << s("{\"c\":[{\"d\":[]},{}],\"e\":\"f\"}");
    QTest::newRow("keys are not unescaped") << s("{\"a\\n\":1}") << s("{\"a\\n\":1}");
}

void TestJsonValue::parseAndWrite()
{
    QFETCH(std::string, text);
    QFETCH(std::string, written);
    const JsonValue value = JsonValue::parse(text);
    QVERIFY(!value.isNull());
    QCOMPARE(value.serialize(), written);
}

void TestJsonValue::malformedGivesNull_data()
{
    QTest::addColumn<std::string>("text");
    QTest::newRow("empty") << s("");
    QTest::newRow("blanks only") << s("   \n");
    QTest::newRow("token left over") << s("{\"a\":1} 2");
    QTest::newRow("unknown byte after") << s("{\"a\":1}x");
    QTest::newRow("trailing comma in array") << s("[1,2,]");
    QTest::newRow("trailing comma in object") << s("{\"a\":1,}");
    QTest::newRow("bare key") << s("{a:1}");
    QTest::newRow("number key") << s("{1:2}");
    QTest::newRow("colon missing") << s("{\"a\" 1}");
    QTest::newRow("leading dot") << s(".5");
    QTest::newRow("nullx") << s("nullx");
    QTest::newRow("truex") << s("truex");
    QTest::newRow("unclosed array") << s("[1,2");
    QTest::newRow("unclosed object") << s("{\"a\":1");
    QTest::newRow("unclosed string") << s("\"abc");
    QTest::newRow("string ends in backslash") << s("\"abc\\\"");
    QTest::newRow("unicode escape without digits") << s("\"\\uxyz1\"");
    QTest::newRow("double out of range") << s("1e999");
    QTest::newRow("object close in array") << s("[1}");
    QTest::newRow("lone colon") << s(":");
}

void TestJsonValue::malformedGivesNull()
{
    QFETCH(std::string, text);
    QVERIFY(JsonValue::parse(text).isNull());
}

void TestJsonValue::strings_data()
{
    QTest::addColumn<std::string>("text");
    QTest::addColumn<std::string>("decoded");
    QTest::newRow("escapes") << s("\"a\\u0041\\n\"") << s("aA\n");
    QTest::newRow("unknown escape dropped") << s("\"\\q\"") << s("");
    QTest::newRow("low byte of unicode") << s("\"\\u00e9\"") << s("\xe9");
    QTest::newRow("only low byte kept") << s("\"\\u20ACx\"") << s("\xac" "x");
    QTest::newRow("short escapes") << s("\"\\\"\\\\\\/\\b\\f\\r\\t\"") << s("\"\\/\b\f\r\t");
    QTest::newRow("utf-8 passes") << s("\"\xc3\xa9t\xc3\xa9\"") << s("\xc3\xa9t\xc3\xa9");
    QTest::newRow("escaped quote inside") << s("\"say \\\"hi\\\"\"") << s("say \"hi\"");
}

void TestJsonValue::strings()
{
    QFETCH(std::string, text);
    QFETCH(std::string, decoded);
    const JsonValue value = JsonValue::parse(text);
    QCOMPARE(value.kind, int(JsonValue::String));
    QCOMPARE(value.text, decoded);
}

void TestJsonValue::kindsAndTexts()
{
    QCOMPARE(JsonValue(true).text, s("true"));
    QCOMPARE(JsonValue(false).kind, int(JsonValue::Boolean));
    QCOMPARE(JsonValue(42LL).text, s("42"));
    QCOMPARE(JsonValue(-7).kind, int(JsonValue::Integer));
    QCOMPARE(JsonValue(0.5).text, s("0.500000"));
    QCOMPARE(JsonValue(1500.0).text, s("1500.000000"));
    QCOMPARE(JsonValue(-12.345).text, s("-12.345000"));
    QCOMPARE(JsonValue("abc").kind, int(JsonValue::String));
    QCOMPARE(JsonValue().kind, int(JsonValue::Null));
    QCOMPARE(JsonValue().serialize(), s("null"));

    JsonValue v;
    v = std::string("text");
    QCOMPARE(v.kind, int(JsonValue::String));
    v = 12;
    QCOMPARE(v.kind, int(JsonValue::Integer));
    QCOMPARE(v.serialize(), s("12"));
    v = "x";
    QCOMPARE(v.serialize(), s("\"x\""));
}

void TestJsonValue::writerEscapesAndOrder()
{
    JsonValue tab;
    tab = std::string("a\tb\x01/\xc3\xa9\"\\\b\f\n\r", 13);
    QCOMPARE(tab.serialize(), s("\"a\\tb\x01/\xc3\xa9\\\"\\\\\\b\\f\\n\\r\""));

    JsonValue request;
    request["userID"] = "u";
    request["syncID"] = "s";
    request["elapsedTime"] = 5;
    QCOMPARE(request.serialize(), s("{\"elapsedTime\":5,\"syncID\":\"s\",\"userID\":\"u\"}"));

    JsonValue keys;
    keys["b"] = 1;
    keys["a"] = 2;
    keys["B"] = 3;
    keys["a"] = 4;
    QCOMPARE(keys.serialize(), s("{\"B\":3,\"a\":4,\"b\":1}"));
}

void TestJsonValue::buildingTrees()
{
    JsonValue object;
    object["x"] = 1;
    JsonValue& element = object.append();
    QCOMPARE(object.kind, int(JsonValue::Array));
    QCOMPARE(object.size(), 1u);
    QVERIFY(element.isNull());
    QCOMPARE(object.serialize(), s("[null]"));

    JsonValue list;
    list.append() = "a";
    list.append() = 2;
    list.append()["k"] = JsonValue(true);
    QCOMPARE(list.serialize(), s("[\"a\",2,{\"k\":true}]"));

    JsonValue number(3);
    number["now"] = "object";
    QCOMPARE(number.serialize(), s("{\"now\":\"object\"}"));

    const JsonValue copy = list;
    list.append() = 9;
    QCOMPARE(copy.size(), 3u);
}

void TestJsonValue::totalLookups()
{
    const JsonValue array = JsonValue::parse("[1,2]");
    const JsonValue object = JsonValue::parse("{\"i\":3,\"d\":12.5,\"b\":true,\"s\":\"7\",\"big\":4294967296,\"neg\":-12.9}");
    QCOMPARE(&array.get("i"), &JsonValue::sharedNull());
    QCOMPARE(&object.at(0), &JsonValue::sharedNull());
    QCOMPARE(&array.at(array.size()), &JsonValue::sharedNull());
    QCOMPARE(&object.get("missing"), &JsonValue::sharedNull());
    QVERIFY(JsonValue::sharedNull().isNull());
    QCOMPARE(object.size(), 0u);
    QCOMPARE(array.at(1).asInt(0), 2);

    QVERIFY(object.get("i").asString(nullptr) == nullptr);
    QCOMPARE(object.get("b").asInt(7), 7);
    QCOMPARE(object.get("s").asInt(7), 7);
    QCOMPARE(object.get("d").asInt(0), 12);
    QCOMPARE(object.get("neg").asInt(0), -12);
    QCOMPARE(object.get("big").asInt(-1), -1);
    QCOMPARE(object.get("i").asDouble(0.0), 3.0);
    QCOMPARE(object.get("d").asDouble(0.0), 12.5);
    QCOMPARE(object.get("s").asDouble(1.5), 1.5);
    QCOMPARE(QByteArray(object.get("s").asString(nullptr)), QByteArray("7"));
    QCOMPARE(QByteArray(object.get("i").asString("Unknown")), QByteArray("Unknown"));
}

void TestJsonValue::hugeInputsDoNotCrash()
{
    // A number of half a million digits: scanned without recursion; beyond
    // every range, so parsing gives Null.
    const std::string digits(500000, '7');
    QVERIFY(JsonValue::parse(digits).isNull());
    QVERIFY(JsonValue::parse("[" + digits + "]").isNull());
    const std::string fraction = "0." + std::string(500000, '1');
    QCOMPARE(JsonValue::parse(fraction).serialize(), s("0.111111"));

    // A long string and a long array.
    const std::string longString = "\"" + std::string(2000000, 'x') + "\"";
    QCOMPARE(JsonValue::parse(longString).text.size(), size_t(2000000));
    std::string longArray = "[";
    for (int i = 0; i < 200000; ++i)
        longArray += i ? ",1" : "1";
    longArray += "]";
    QCOMPARE(JsonValue::parse(longArray).size(), 200000u);
}

void TestJsonValue::nestingLimit()
{
    auto nested = [](int depth) {
        return std::string(size_t(depth), '[') + std::string(size_t(depth), ']');
    };
    QVERIFY(!JsonValue::parse(nested(512)).isNull());
    QVERIFY(JsonValue::parse(nested(513)).isNull());
    QVERIFY(JsonValue::parse(nested(1000000)).isNull());
    std::string objects;
    for (int i = 0; i < 100000; ++i)
        objects += "{\"a\":";
    QVERIFY(JsonValue::parse(objects).isNull());
}

void TestJsonValue::independentOfLocale()
{
    const char* previous = std::setlocale(LC_NUMERIC, nullptr);
    const std::string saved = previous ? previous : "C";
    if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8") && !std::setlocale(LC_NUMERIC, "fr_FR.UTF-8"))
        QSKIP("no locale with a decimal comma installed");
    const JsonValue value = JsonValue::parse("[12.25]");
    const std::string written = JsonValue(0.5).serialize();
    const double read = value.at(0).asDouble(0.0);
    std::setlocale(LC_NUMERIC, saved.c_str());
    QCOMPARE(written, s("0.500000"));
    QCOMPARE(read, 12.25);
}

QTEST_APPLESS_MAIN(TestJsonValue)
#include "tst_jsonvalue.moc"
