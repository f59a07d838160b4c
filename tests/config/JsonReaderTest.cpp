#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>

#include "config/Json.h"

namespace {

// Parses from a buffer and from a stream: both readers must agree on the
// value and on how much text they took.
Value parseBoth(const std::string& text) {
    std::size_t consumed = 0;
    Value fromText = Json::parse(text, &consumed);
    std::istringstream in(text);
    EXPECT_EQ(Json::parse(in), fromText) << text;
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), text.substr(consumed)) << text;
    return fromText;
}

void expectFailure(const std::string& text) {
    EXPECT_THROW(Json::parse(text), Json::ParseError) << text;
    std::istringstream in(text);
    EXPECT_THROW(Json::parse(in), Json::ParseError) << text;
}

TEST(JsonReader, NumbersTakeTheKindOfTheirRange) {
    const std::pair<const char*, Value::Kind> rows[] = {
        {"0", Value::Kind::Int},           {"-0", Value::Kind::Int},
        {"2147483647", Value::Kind::Int},  {"2147483648", Value::Kind::UInt},
        {"4294967295", Value::Kind::UInt}, {"4294967296", Value::Kind::UInt64},
        {"-2147483648", Value::Kind::Int}, {"-2147483649", Value::Kind::Int64},
        {"1.0", Value::Kind::Double},      {"1e2", Value::Kind::Double},
        {"-2.5E-1", Value::Kind::Double},  {"1e+1", Value::Kind::Double},
    };
    for (const auto& [text, kind] : rows) EXPECT_EQ(parseBoth(text).kind(), kind) << text;
    EXPECT_EQ(parseBoth("-2.5E-1").toDouble(), -0.25);
    EXPECT_EQ(*parseBoth("18446744073709551615").as<uint64_t>(), UINT64_MAX);
    EXPECT_EQ(*parseBoth("-9223372036854775808").as<int64_t>(), INT64_MIN);
    EXPECT_TRUE(std::isinf(parseBoth("1e999").toDouble())) << "beyond a double: an infinity";
    EXPECT_EQ(parseBoth("1e-999").toDouble(), 0.0);

    // "01" is 0 followed by "1", which stays unread.
    std::istringstream in("01");
    EXPECT_EQ(Json::parse(in), Value(0));
    EXPECT_EQ(in.get(), '1');

    for (const char* bad :
         {"1.", "1e", "1e+", "-", "-a", ".5", "+1", "x", "18446744073709551616", "-9223372036854775809"}) {
        expectFailure(bad);
    }
}

TEST(JsonReader, LiteralsAndLenientCommas) {
    EXPECT_EQ(parseBoth("true"), Value(true));
    EXPECT_EQ(parseBoth("false"), Value(false));
    EXPECT_TRUE(parseBoth("null").isNull());
    EXPECT_EQ(parseBoth("truex"), Value(true)) << "nothing after the value is examined";
    for (const char* text : {"[1 2]", "[1,,2]", "[1,2,]", "{\"a\":1,\"b\":2,}", "{\"a\":1 \"b\":2}"}) {
        EXPECT_EQ(parseBoth(text).size(), 2u) << text;
    }
    EXPECT_EQ(parseBoth("\t\n\f\r [ \t1\n]"), parseBoth("[1]"));
    Value duplicate = parseBoth("{\"k\":1,\"j\":0,\"k\":2}");
    EXPECT_EQ(duplicate.size(), 2u);
    EXPECT_EQ(duplicate.member("k"), Value(2)) << "the later duplicate wins";

    for (const char* bad : {"", "   ", "tru", "True", "nul", "[,1]", "[,]", "{,\"a\":1}", "{a:1}", "{\"a\" 1}",
                            "{\"a\":}", "{\"a\":1", "[1", "\v1", "[1,\v2]"}) {
        expectFailure(bad);
    }
}

TEST(JsonReader, NestingIsBounded) {
    auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    EXPECT_TRUE(parseBoth(nested(Json::kMaxDepth)).isArray());
    expectFailure(nested(Json::kMaxDepth + 1));
    std::string objects;
    for (int i = 0; i <= Json::kMaxDepth; ++i) objects += "{\"a\":";
    expectFailure(objects + "1" + std::string(Json::kMaxDepth + 1, '}'));
    expectFailure(std::string(1'000'000, '['));  // fails early, not by exhausting the stack
}

TEST(JsonReader, StringEscapesAndUtf8) {
    const std::pair<std::string, std::string> rows[] = {
        {R"("a\"b\/c\\d")", "a\"b/c\\d"},
        {R"("\b\f\n\r\t")", "\b\f\n\r\t"},
        {"\"raw\ttab\nline\"", "raw\ttab\nline"},
        {std::string("\"nul\0byte\"", 10), std::string("nul\0byte", 8)},
        {R"("\u0041\u00e9\u20AC")", "A\xC3\xA9\xE2\x82\xAC"},
        {R"("\uD83D\uDE00")", "\xF0\x9F\x98\x80"},
        {R"("\uDBFF\uDFFF")", "\xF4\x8F\xBF\xBF"},
        {R"("\uDE00")", "\xED\xB8\x80"},  // a lone low surrogate passes
    };
    for (const auto& [text, expected] : rows) EXPECT_EQ(parseBoth(text), Value(expected)) << text;
    for (const char* bad : {R"("\x")", R"("\)", "\"open", R"("\uD83D")", R"("\uD83Dx")", R"("\uD83D\n")",
                            R"("\uD83D\u0041")", R"("\u12")", R"("\u12G4")"}) {
        expectFailure(bad);
    }
}

TEST(JsonReader, ExtractionLeavesTheTargetUnchangedOnFailure) {
    Value target;
    std::istringstream bad("[1,");
    bad >> target;
    EXPECT_TRUE(target.isNull());
    Value kept(42);
    std::istringstream worse("{oops}");
    worse >> kept;
    EXPECT_EQ(kept, Value(42));

    std::istringstream several("1 [2] \"three\"");
    Value a, b, c;
    several >> a >> b >> c;
    EXPECT_EQ(a, Value(1));
    EXPECT_EQ(b[0], Value(2));
    EXPECT_EQ(c, Value("three"));
}

}  // namespace
