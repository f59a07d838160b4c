#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>

#include "config/Json.h"

namespace {

std::string written(const Value& v, bool quoted, int indent) {
    std::ostringstream out;
    EXPECT_TRUE(Json::write(v, out, quoted, false, indent));
    return out.str();
}

TEST(JsonWriter, LayoutFollowsTheIndent) {
    Value v;
    v.setMember("a", Value(1));
    v.setMember("b", Value(Value::Array{Value(true)}));
    EXPECT_EQ(Json::toJson(v, false, true), "{\n  \"a\": 1,\n  \"b\": [\n    true\n  ]\n}");
    EXPECT_EQ(Json::toJson(v, false, false), R"({"a":1,"b":[true]})");
    EXPECT_EQ(written(v, false, 0), "{a:1,b:[true]}") << "unquoted is compact whatever the indent";
    EXPECT_EQ(Json::toJson(Value(Value::Array()), false, true), "[\n]");
    EXPECT_EQ(Json::toJson(Value(Value::Object()), false, true), "{\n}");
    EXPECT_EQ(written(Value(7), true, 4), "\n    7") << "positive even: a new line first";
    EXPECT_EQ(written(Value(7), true, -4), "7");
    EXPECT_EQ(written(Value(Value::Array{Value(1)}), true, -2), "[\n    1\n  ]");
    EXPECT_EQ(written(Value(Value::Array{Value(1)}), true, 3), "[1]");
}

TEST(JsonWriter, QuotingEscapesOnlyTheListedBytes) {
    std::string raw = std::string("q\"b\\s/\b\f\n\r\t") + '\x01' + "\x7f\xC3\xA9 long enough for words";
    std::string quoted = std::string("\"q\\\"b\\\\s/\\b\\f\\n\\r\\t") + '\x01' + "\x7f\xC3\xA9 long enough for words\"";
    EXPECT_EQ(Json::toJson(Value(raw), false, false), quoted);
    EXPECT_EQ(Json::toJson(Value("a/b/c/d/e/f/g/h/i"), true, false), R"("a\/b\/c\/d\/e\/f\/g\/h\/i")");
    Value v;
    v.setMember("k/ey", Value(1));
    EXPECT_EQ(Json::toJson(v, true, false), R"({"k\/ey":1})");
}

TEST(JsonWriter, NumbersAsTheStreamWritesThem) {
    const std::pair<Value, const char*> rows[] = {
        {Value(0.1), "0.1"},
        {Value(161.8), "161.8"},
        {Value(1.0), "1"},
        {Value(1e-7), "1e-07"},
        {Value(1234567.0), "1.23457e+06"},
        {Value(0.10000000149011612), "0.1"},
        {Value(2.5L), "2.5"},
        {Value(INT32_MIN), "-2147483648"},
        {Value(UINT32_MAX), "4294967295"},
        {Value(INT64_MIN), "-9223372036854775808"},
        {Value(UINT64_MAX), "18446744073709551615"},
        // Not-a-number and the infinities stay JSON that reads back.
        {Value(std::nan("")), "null"},
        {Value(std::numeric_limits<long double>::quiet_NaN()), "null"},
        {Value(std::numeric_limits<double>::infinity()), "1e999"},
        {Value(-std::numeric_limits<double>::infinity()), "-1e999"},
    };
    for (const auto& [value, text] : rows) EXPECT_EQ(Json::toJson(value, false, false), text);
    EXPECT_EQ(Json::parse("-1e999").toDouble(), -std::numeric_limits<double>::infinity());
}

TEST(JsonWriter, UnknownKindsAloneWriteNothingInsideStayValid) {
    const Value mode(Tyvo::OutputPeripheral::OutputModeDefault);
    std::ostringstream out;
    EXPECT_FALSE(Json::write(Value::exactFloat(1.5f), out, true, false, 4));
    EXPECT_FALSE(Json::write(mode, out, true, false, 0));
    EXPECT_EQ(out.str(), "");
    Value v;
    v.setMember("f", Value::exactFloat(1.5f));
    v.setMember("m", mode);
    Value back = Json::parse(Json::toJson(v, false, true));
    EXPECT_EQ(back.member("f"), Value(1.5));
    EXPECT_EQ(back.member("m"), Value(0));
}

// The writer grows its text ahead in steps and trims it at the end: text
// already in the string stays, nothing is left beyond what was written, and
// a refused value leaves the string as it was.
TEST(JsonWriter, WritingIntoAStringAppendsExactlyTheDocument) {
    Value::Array items;
    for (int i = 0; i < 3000; ++i) items.emplace_back("item \"" + std::to_string(i) + "\"\n");
    const Value document(items);
    const std::string alone = Json::toJson(document, false, false);
    ASSERT_GT(alone.size(), 3u * 4096u) << "longer than several steps of growth";
    EXPECT_EQ(alone.find('\0'), std::string::npos);
    EXPECT_EQ(Json::parse(alone), document);

    std::string text = "prefix:";
    ASSERT_TRUE(Json::write(document, text, true, false, 1));
    EXPECT_EQ(text, "prefix:" + alone);
    EXPECT_FALSE(Json::write(Value::exactFloat(1.5f), text, true, false, 1));
    EXPECT_EQ(text, "prefix:" + alone);
}

TEST(JsonWriter, EveryLayoutReadsBackEqual) {
    Value v;
    v.setMember("s", Value("quote \" slash / back \\ ctl \x02 \xF0\x9F\x98\x80"));
    v.setMember("n", Value(Value::Array{Value(-1), Value(3000000000u), Value(-5000000000LL), Value(10000000000ULL),
                                        Value(), Value(false), Value(0.5)}));
    v.setMember("o", Value(Value::Object()));
    for (bool escapeSlash : {false, true}) {
        for (bool pretty : {false, true}) EXPECT_EQ(Json::parse(Json::toJson(v, escapeSlash, pretty)), v);
    }
}

}  // namespace
