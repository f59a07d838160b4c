#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>

#include "config/Json.h"
#include "config/OutputMode.h"

namespace {

Value sample() {
    Value v;
    v.setMember("a", Value(1));
    v.setMember("b", Value(Value::Array{Value(true)}));
    return v;
}

std::string written(const Value& v, bool quoted, bool escapeSlash, int indent) {
    std::ostringstream out;
    EXPECT_TRUE(Json::write(v, out, quoted, escapeSlash, indent));
    return out.str();
}

// --- layout -------------------------------------------------------------------

TEST(JsonLayout, PrettyFormIndentsByTwoSpaces) {
    EXPECT_EQ(Json::toJson(sample(), false, true),
              "{\n"
              "  \"a\": 1,\n"
              "  \"b\": [\n"
              "    true\n"
              "  ]\n"
              "}");
}

TEST(JsonLayout, SingleLineFormHasNoSpaces) {
    EXPECT_EQ(Json::toJson(sample(), false, false), R"({"a":1,"b":[true]})");
}

TEST(JsonLayout, EmptyContainersInTheMultiLineForm) {
    EXPECT_EQ(Json::toJson(Value(Value::Array()), false, true), "[\n]");
    EXPECT_EQ(Json::toJson(Value(Value::Object()), false, true), "{\n}");
    Value v;
    v.setMember("e", Value(Value::Array()));
    EXPECT_EQ(Json::toJson(v, false, true), "{\n  \"e\": [\n  ]\n}");
}

TEST(JsonLayout, PositiveEvenIndentStartsOnANewLine) {
    EXPECT_EQ(written(Value(7), true, false, 4), "\n    7");
    EXPECT_EQ(written(Value(7), true, false, -4), "7");
    EXPECT_EQ(written(Value(Value::Array{Value(1)}), true, false, -2), "[\n    1\n  ]");
    EXPECT_EQ(written(Value(Value::Array{Value(1)}), true, false, 3), "[1]");
}

TEST(JsonLayout, UnquotedFormIsCompactWhateverTheIndent) {
    EXPECT_EQ(written(sample(), false, true, 0), "{a:1,b:[true]}");
    EXPECT_EQ(written(Value("x y"), false, true, 2), "x y");
}

// --- strings --------------------------------------------------------------------

TEST(JsonQuoting, EscapesOnlyTheListedBytes) {
    std::string raw = std::string("q\"b\\s/\b\f\n\r\t") + '\x01' + "\x7f\xC3\xA9";
    EXPECT_EQ(Json::toJson(Value(raw), false, false),
              std::string("\"q\\\"b\\\\s/\\b\\f\\n\\r\\t") + '\x01' + "\x7f\xC3\xA9\"");
}

TEST(JsonQuoting, SlashIsEscapedOnlyOnRequest) {
    EXPECT_EQ(Json::toJson(Value("a/b"), false, false), "\"a/b\"");
    EXPECT_EQ(Json::toJson(Value("a/b"), true, false), "\"a\\/b\"");
    Value v;
    v.setMember("k/ey", Value(1));
    EXPECT_EQ(Json::toJson(v, true, false), "{\"k\\/ey\":1}");
}

// --- numbers ------------------------------------------------------------------

TEST(JsonNumberText, DoublesUseSixSignificantDigits) {
    EXPECT_EQ(Json::toJson(Value(0.1), false, false), "0.1");
    EXPECT_EQ(Json::toJson(Value(161.8), false, false), "161.8");
    EXPECT_EQ(Json::toJson(Value(1.0), false, false), "1");
    EXPECT_EQ(Json::toJson(Value(1e-7), false, false), "1e-07");
    EXPECT_EQ(Json::toJson(Value(1234567.0), false, false), "1.23457e+06");
    EXPECT_EQ(Json::toJson(Value(0.10000000149011612), false, false), "0.1");
    EXPECT_EQ(Json::toJson(Value(2.5L), false, false), "2.5");
}

TEST(JsonNumberText, IntegersAreExact) {
    EXPECT_EQ(Json::toJson(Value(INT32_MIN), false, false), "-2147483648");
    EXPECT_EQ(Json::toJson(Value(UINT32_MAX), false, false), "4294967295");
    EXPECT_EQ(Json::toJson(Value(INT64_MIN), false, false), "-9223372036854775808");
    EXPECT_EQ(Json::toJson(Value(UINT64_MAX), false, false), "18446744073709551615");
}

TEST(JsonNumberText, NonFiniteValuesStayJson) {
    EXPECT_EQ(Json::toJson(Value(std::nan("")), false, false), "null");
    EXPECT_TRUE(Json::parse(Json::toJson(Value(std::nan("")), false, false)).isNull());
    EXPECT_EQ(Json::toJson(Value(std::numeric_limits<long double>::quiet_NaN()), false, false), "null");
    Value inf(std::numeric_limits<double>::infinity());
    Value back = Json::parse(Json::toJson(inf, false, false));
    EXPECT_EQ(back.toDouble(), std::numeric_limits<double>::infinity());
    EXPECT_EQ(Json::parse(Json::toJson(Value(-inf.toDouble()), false, false)).toDouble(),
              -std::numeric_limits<double>::infinity());
}

// --- kinds the writer does not know -----------------------------------------

TEST(JsonUnknownKinds, AloneTheyWriteNothing) {
    std::ostringstream out;
    EXPECT_FALSE(Json::write(Value::exactFloat(1.5f), out, true, false, 4));
    EXPECT_FALSE(Json::write(Value(Tyvo::OutputPeripheral::OutputModeDefault), out, true, false, 0));
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(Json::toJson(Value(Tyvo::OutputPeripheral::OutputModeDefault), true, false), "");
}

TEST(JsonUnknownKinds, InsideContainersTheDocumentStaysValid) {
    Value v;
    v.setMember("f", Value::exactFloat(1.5f));
    v.setMember("m", Value(Tyvo::OutputPeripheral::OutputModeDefault));
    std::string text = Json::toJson(v, false, true);
    Value back = Json::parse(text);
    EXPECT_EQ(back.member("f").toDouble(), 1.5);
    EXPECT_EQ(back.member("m").toInt(), 0);
}

// --- round trips ----------------------------------------------------------------

TEST(JsonRoundTrip, WrittenTextReadsBackEqual) {
    Value v;
    v.setMember("s", Value("quote \" slash / back \\ ctl \x02 \xF0\x9F\x98\x80"));
    v.setMember("n", Value(Value::Array{Value(-1), Value(3000000000u), Value(-5000000000LL),
                                        Value(10000000000ULL), Value(), Value(false)}));
    v.setMember("o", sample());
    for (bool escapeSlash : {false, true}) {
        for (bool pretty : {false, true}) {
            EXPECT_EQ(Json::parse(Json::toJson(v, escapeSlash, pretty)), v);
        }
    }
}

}  // namespace
