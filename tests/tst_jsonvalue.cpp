#include <QtTest>

#include <clocale>

#include "json/jsonvalue.h"

Q_DECLARE_METATYPE(std::string)

using namespace std::string_literals;

class TestJsonValue : public QObject {
    Q_OBJECT
private slots:
    // "null" as the written text: the parse gave Null.
    void parseAndWrite_data()
    {
        QTest::addColumn<std::string>("text");
        QTest::addColumn<std::string>("written");
        QTest::newRow("empty object") << "{}"s << "{}"s;
        QTest::newRow("empty array") << "[]"s << "[]"s;
        QTest::newRow("white space") << " \t\r\n{ \"a\"\t:\r\n1 }\n"s << "{\"a\":1}"s;
        QTest::newRow("repeated key") << "{\"a\":1,\"a\":2}"s << "{\"a\":2}"s;
        QTest::newRow("exponent") << "1.5e3"s << "1500.000000"s;
        QTest::newRow("six decimals") << "45.12345678"s << "45.123457"s;
        QTest::newRow("beyond 64 bits") << "123456789012345678901"s << "123456789012345683968.000000"s;
        QTest::newRow("minus zero") << "-0"s << "0"s;
        QTest::newRow("leading zeros") << "007"s << "7"s;
        QTest::newRow("plus sign") << "+5"s << "5"s;
        QTest::newRow("trailing dot") << "2."s << "2.000000"s;
        QTest::newRow("int64 max") << "9223372036854775807"s << "9223372036854775807"s;
        QTest::newRow("int64 min") << "-9223372036854775808"s << "-9223372036854775808"s;
        QTest::newRow("literals") << "[true,false,null]"s << "[true,false,null]"s;
        QTest::newRow("key order") << "{\"b\":1,\"a\":2,\"B\":3}"s << "{\"B\":3,\"a\":2,\"b\":1}"s;
        QTest::newRow("nested") << "{\"c\":[{\"d\":[]},{}],\"e\":\"f\"}"s << "{\"c\":[{\"d\":[]},{}],\"e\":\"f\"}"s;
        QTest::newRow("escaped key") << "{\"a\\n\":1}"s << "{\"a\\n\":1}"s;
        QTest::newRow("keys unescaped") << "{\"\\u0041\\/\":1,\"@\":2}"s << "{\"@\":2,\"A/\":1}"s;
        QTest::newRow("control characters") << "{\"\\u0001\":\"\\u001f\\u0000\\u000b\"}"s << "{\"\\u0001\":\"\\u001f\\u0000\\u000b\"}"s;
        QTest::newRow("underflow reads as 0") << "[1e-400,-2.5E-999,0.0001e-99999999999999999999]"s
                                              << "[0.000000,0.000000,0.000000]"s;

        const char* malformed[] = { "", "   \n", "{\"a\":1} 2", "{\"a\":1}x", "[1,2,]", "{\"a\":1,}", "{a:1}", "{1:2}",
                                    "{\"a\" 1}", ".5", "nullx", "truex", "[1,2", "{\"a\":1", "\"abc", "\"abc\\\"",
                                    "\"\\uxyz1\"", "1e999", "-12e400", "[1}", ":" };
        for (const char* text : malformed)
            QTest::newRow(qPrintable("malformed: " + QString::fromLatin1(text))) << std::string(text) << "null"s;
    }

    void parseAndWrite()
    {
        QFETCH(std::string, text);
        QFETCH(std::string, written);
        const JsonValue value = JsonValue::parse(text);
        QCOMPARE(value.isNull(), written == "null");
        QCOMPARE(value.serialize(), written);
    }

    void strings_data()
    {
        QTest::addColumn<std::string>("text");
        QTest::addColumn<std::string>("decoded");
        QTest::newRow("escapes") << "\"a\\u0041\\n\""s << "aA\n"s;
        QTest::newRow("unknown escape dropped") << "\"\\q\""s << ""s;
        QTest::newRow("low byte of unicode") << "\"\\u00e9\""s << "\xe9"s;
        QTest::newRow("only low byte kept") << "\"\\u20ACx\""s << "\xac" "x"s;
        QTest::newRow("short escapes") << "\"\\\"\\\\\\/\\b\\f\\r\\t\""s << "\"\\/\b\f\r\t"s;
        QTest::newRow("utf-8 passes") << "\"\xc3\xa9t\xc3\xa9\""s << "\xc3\xa9t\xc3\xa9"s;
        QTest::newRow("escaped quote inside") << "\"say \\\"hi\\\"\""s << "say \"hi\""s;
    }

    void strings()
    {
        QFETCH(std::string, text);
        const JsonValue value = JsonValue::parse(text);
        QCOMPARE(value.kind, int(JsonValue::String));
        QTEST(value.text, "decoded");
    }

    // Values of every kind written, strings escaped, members in key order, and
    // a value turned into the container it is used as.
    void building()
    {
        JsonValue list;
        list.append() = "a\tb\x01/\xc3\xa9\"\\\b\f\n\r";
        for (const JsonValue& value : { JsonValue(-7), JsonValue(42LL), JsonValue(0.5), JsonValue(-12.345),
                                        JsonValue(false), JsonValue("c"), JsonValue() })
            list.append() = value;
        list.append() = 12;
        list.append() = std::string("text");
        list.append()["userID"] = JsonValue(true);
        JsonValue& members = list.append();
        members["userID"] = "u";
        members["syncID"] = "s";
        members["elapsedTime"] = 5;
        members["B"] = 3;
        members["syncID"] = "t";
        const JsonValue copy = list;
        list.append() = 9;
        QCOMPARE(copy.serialize(), "[\"a\\tb\\u0001/\xc3\xa9\\\"\\\\\\b\\f\\n\\r\","
                                   "-7,42,0.500000,-12.345000,false,\"c\",null,12,\"text\",{\"userID\":true},"
                                   "{\"B\":3,\"elapsedTime\":5,\"syncID\":\"t\",\"userID\":\"u\"}]"s);
        QCOMPARE(list.size(), 13u);

        JsonValue changing(3);
        changing["now"] = "object";
        QCOMPARE(changing.serialize(), "{\"now\":\"object\"}"s);
        changing.append() = "array";
        QCOMPARE(changing.serialize(), "[\"array\"]"s);
    }

    void totalLookups()
    {
        const JsonValue array = JsonValue::parse("[1,2]");
        const JsonValue object
            = JsonValue::parse("{\"i\":3,\"d\":12.5,\"b\":true,\"s\":\"7\",\"big\":4294967296,\"neg\":-12.9}");
        for (const JsonValue* missing : { &array.get("i"), &object.at(0), &array.at(array.size()), &object.get("x") })
            QCOMPARE(missing, &JsonValue::sharedNull());
        QVERIFY(JsonValue::sharedNull().isNull());
        QCOMPARE(object.size(), 0u);
        QCOMPARE(array.at(1).asInt(0), 2);

        QVERIFY(object.get("i").asString(nullptr) == nullptr);
        // Numbers of the wrong kind or range give the default.
        QCOMPARE(QList<int>({ object.get("b").asInt(7), object.get("s").asInt(7), object.get("d").asInt(0),
                              object.get("neg").asInt(0), object.get("big").asInt(-1) }),
                 QList<int>({ 7, 7, 12, -12, -1 }));
        QCOMPARE(QList<double>({ object.get("i").asDouble(0.0), object.get("d").asDouble(0.0), object.get("s").asDouble(1.5) }),
                 QList<double>({ 3.0, 12.5, 1.5 }));
        QCOMPARE(QByteArray(object.get("s").asString(nullptr)) + object.get("i").asString("Unknown"), QByteArray("7Unknown"));
    }

    // Numbers are scanned without recursion: half a million digits are beyond
    // every range and give Null. Nesting deeper than 512 levels gives Null too.
    void hugeInputsDoNotCrash()
    {
        const std::string digits(500000, '7');
        QVERIFY(JsonValue::parse(digits).isNull());
        QVERIFY(JsonValue::parse("[" + digits + "]").isNull());
        QCOMPARE(JsonValue::parse("0." + std::string(500000, '1')).serialize(), "0.111111"s);
        QCOMPARE(JsonValue::parse("\"" + std::string(2000000, 'x') + "\"").text.size(), size_t(2000000));
        QCOMPARE(JsonValue::parse("[1" + QByteArray(",1").repeated(199999).toStdString() + "]").size(), 200000u);

        auto nested = [](int depth) { return std::string(size_t(depth), '[') + std::string(size_t(depth), ']'); };
        QVERIFY(!JsonValue::parse(nested(512)).isNull());
        QVERIFY(JsonValue::parse(nested(513)).isNull());
        QVERIFY(JsonValue::parse(nested(1000000)).isNull());
        QVERIFY(JsonValue::parse(QByteArray("{\"a\":").repeated(100000).toStdString()).isNull());
    }

    void independentOfLocale()
    {
        const char* previous = std::setlocale(LC_NUMERIC, nullptr);
        const std::string saved = previous ? previous : "C";
        if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8") && !std::setlocale(LC_NUMERIC, "fr_FR.UTF-8"))
            QSKIP("no locale with a decimal comma installed");
        const JsonValue value = JsonValue::parse("[12.25]");
        const std::string written = JsonValue(0.5).serialize();
        const double read = value.at(0).asDouble(0.0);
        std::setlocale(LC_NUMERIC, saved.c_str());
        QCOMPARE(written, "0.500000"s);
        QCOMPARE(read, 12.25);
    }
};

QTEST_APPLESS_MAIN(TestJsonValue)
#include "tst_jsonvalue.moc"
