#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>

#include "config/Json.h"

namespace {

// Parses the text both from a buffer and from a stream; both readers must
// agree on the result and on how much they took.
Value parseBoth(const std::string& text) {
    std::size_t consumed = 0;
    Value fromText = Json::parse(text, &consumed);
    std::istringstream in(text);
    Value fromStream = Json::parse(in);
    EXPECT_EQ(fromText, fromStream) << text;
    std::string rest(std::istreambuf_iterator<char>(in), {});
    EXPECT_EQ(rest, text.substr(consumed)) << text;
    return fromText;
}

bool fails(const std::string& text) {
    bool textFailed = false;
    bool streamFailed = false;
    try {
        Json::parse(text);
    } catch (const Json::ParseError&) {
        textFailed = true;
    }
    try {
        std::istringstream in(text);
        Json::parse(in);
    } catch (const Json::ParseError&) {
        streamFailed = true;
    }
    EXPECT_EQ(textFailed, streamFailed) << text;
    return textFailed;
}

// --- numbers ----------------------------------------------------------------

TEST(JsonNumbers, IntegersTakeTheNarrowestKindOfTheirRange) {
    EXPECT_TRUE(parseBoth("0").isInt());
    EXPECT_TRUE(parseBoth("-0").isInt());
    EXPECT_EQ(parseBoth("-0").toInt(), 0);
    EXPECT_TRUE(parseBoth("2147483647").isInt());
    EXPECT_TRUE(parseBoth("2147483648").isUnsigned());
    EXPECT_TRUE(parseBoth("4294967295").isUnsigned());
    EXPECT_TRUE(parseBoth("4294967296").isUInt64());
    EXPECT_TRUE(parseBoth("18446744073709551615").isUInt64());
    EXPECT_TRUE(parseBoth("-2147483648").isInt());
    EXPECT_TRUE(parseBoth("-2147483649").isInt64());
    EXPECT_EQ(*parseBoth("-9223372036854775808").as<int64_t>(), INT64_MIN);
}

TEST(JsonNumbers, FractionOrExponentMakesADouble) {
    EXPECT_TRUE(parseBoth("1.0").isDouble());
    EXPECT_TRUE(parseBoth("1e2").isDouble());
    EXPECT_EQ(parseBoth("1e2").toDouble(), 100.0);
    EXPECT_EQ(parseBoth("-2.5E-1").toDouble(), -0.25);
    EXPECT_EQ(parseBoth("1e+1").toDouble(), 10.0);
    // Beyond the range of a double: an infinity, as strtod gives.
    EXPECT_TRUE(std::isinf(parseBoth("1e999").toDouble()));
    EXPECT_EQ(parseBoth("1e-999").toDouble(), 0.0);
}

TEST(JsonNumbers, LeadingZeroEndsTheNumber) {
    std::size_t consumed = 0;
    Value v = Json::parse("01", &consumed);
    EXPECT_EQ(v.toInt(), 0);
    EXPECT_EQ(consumed, 1u);
    std::istringstream in("01");
    EXPECT_EQ(Json::parse(in).toInt(), 0);
    EXPECT_EQ(in.get(), '1');
}

TEST(JsonNumbers, MissingDigitsFail) {
    EXPECT_TRUE(fails("1."));
    EXPECT_TRUE(fails("1e"));
    EXPECT_TRUE(fails("1e+"));
    EXPECT_TRUE(fails("-"));
    EXPECT_TRUE(fails("-a"));
    EXPECT_TRUE(fails(".5"));
    EXPECT_TRUE(fails("+1"));
    EXPECT_TRUE(fails("x"));
    // No integer kind holds these.
    EXPECT_TRUE(fails("18446744073709551616"));
    EXPECT_TRUE(fails("-9223372036854775809"));
}

// --- literals and structure -------------------------------------------------

TEST(JsonStructure, LiteralsMustMatchExactly) {
    EXPECT_EQ(parseBoth("true"), Value(true));
    EXPECT_EQ(parseBoth("false"), Value(false));
    EXPECT_TRUE(parseBoth("null").isNull());
    EXPECT_TRUE(fails("tru"));
    EXPECT_TRUE(fails("nul"));
    EXPECT_TRUE(fails("True"));
    EXPECT_TRUE(fails("fals e"));
    // Nothing after the value is examined.
    EXPECT_EQ(parseBoth("truex"), Value(true));
    EXPECT_EQ(parseBoth("{} trailing"), Value(Value::Object()));
}

TEST(JsonStructure, CommasAreLenientButMayNotLead) {
    EXPECT_EQ(parseBoth("[1 2]").size(), 2u);
    EXPECT_EQ(parseBoth("[1,,2]").size(), 2u);
    EXPECT_EQ(parseBoth("[1,]").size(), 1u);
    EXPECT_EQ(parseBoth("[]").size(), 0u);
    EXPECT_TRUE(fails("[,1]"));
    EXPECT_TRUE(fails("[,]"));
    EXPECT_EQ(parseBoth("{\"a\":1,}").size(), 1u);
    EXPECT_EQ(parseBoth("{\"a\":1 \"b\":2}").size(), 2u);
    EXPECT_TRUE(fails("{,\"a\":1}"));
}

TEST(JsonStructure, ObjectsNeedStringKeysAndColons) {
    EXPECT_TRUE(fails("{a:1}"));
    EXPECT_TRUE(fails("{\"a\" 1}"));
    EXPECT_TRUE(fails("{\"a\":}"));
    EXPECT_TRUE(fails("{\"a\":1"));
    EXPECT_TRUE(fails("[1"));
    EXPECT_TRUE(fails(""));
    EXPECT_TRUE(fails("   "));
    Value v = parseBoth("{ \"b\" : [ true ] , \"a\" : { } }");
    EXPECT_TRUE(v.member("a").isObject());
    EXPECT_EQ(v.member("b")[0], Value(true));
}

TEST(JsonStructure, LaterDuplicateKeyWins) {
    Value v = parseBoth("{\"k\":1,\"j\":0,\"k\":2}");
    EXPECT_EQ(v.size(), 2u);
    EXPECT_EQ(v.member("k").toInt(), 2);
}

TEST(JsonStructure, WhiteSpaceIsTheFiveJsonCharactersOnly) {
    EXPECT_EQ(parseBoth("\t\n\f\r [ \t1\n]"), parseBoth("[1]"));
    EXPECT_TRUE(fails("\v1"));
    EXPECT_TRUE(fails("[1,\v2]"));
}

TEST(JsonStructure, NestingIsBounded) {
    auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    EXPECT_TRUE(parseBoth(nested(Json::kMaxDepth)).isArray());
    EXPECT_TRUE(fails(nested(Json::kMaxDepth + 1)));
    std::string objects;
    for (int i = 0; i <= Json::kMaxDepth; ++i) objects += "{\"a\":";
    EXPECT_TRUE(fails(objects + "1" + std::string(Json::kMaxDepth + 1, '}')));
    // Far beyond the bound fails quickly instead of exhausting the stack.
    EXPECT_TRUE(fails(std::string(1'000'000, '[')));
}

// --- strings ------------------------------------------------------------------

TEST(JsonStrings, EscapesAndRawCharacters) {
    EXPECT_EQ(parseBoth(R"("a\"b\/c\\d")").toString(), "a\"b/c\\d");
    EXPECT_EQ(parseBoth(R"("\b\f\n\r\t")").toString(), "\b\f\n\r\t");
    EXPECT_EQ(parseBoth("\"raw\ttab\nline\"").toString(), "raw\ttab\nline");
    EXPECT_EQ(parseBoth(std::string("\"nul\0byte\"", 10)).toString(), std::string("nul\0byte", 8));
    EXPECT_TRUE(fails(R"("\x")"));
    EXPECT_TRUE(fails(R"("\)"));
    EXPECT_TRUE(fails("\"open"));
}

TEST(JsonStrings, UnicodeEscapesBecomeUtf8) {
    EXPECT_EQ(parseBoth(R"("\u0041")").toString(), "A");
    EXPECT_EQ(parseBoth(R"("\u00e9")").toString(), "\xC3\xA9");
    EXPECT_EQ(parseBoth(R"("\u20AC")").toString(), "\xE2\x82\xAC");
    EXPECT_EQ(parseBoth(R"("\uD83D\uDE00")").toString(), "\xF0\x9F\x98\x80");
    EXPECT_EQ(parseBoth(R"("\uDBFF\uDFFF")").toString(), "\xF4\x8F\xBF\xBF");
    // A lone low surrogate passes; a lone high one does not.
    EXPECT_EQ(parseBoth(R"("\uDE00")").toString(), "\xED\xB8\x80");
    EXPECT_TRUE(fails(R"("\uD83D")"));
    EXPECT_TRUE(fails(R"("\uD83Dx")"));
    EXPECT_TRUE(fails(R"("\uD83D\n")"));
    EXPECT_TRUE(fails(R"("\uD83D\u0041")"));
    EXPECT_TRUE(fails(R"("\u12")"));
    EXPECT_TRUE(fails(R"("\u12G4")"));
}

// --- the lenient extraction -------------------------------------------------

TEST(JsonExtraction, FailureLeavesTheTargetUnchanged) {
    Value target;
    std::istringstream bad("[1,");
    bad >> target;
    EXPECT_TRUE(target.isNull());

    Value kept(42);
    std::istringstream worse("{oops}");
    worse >> kept;
    EXPECT_EQ(kept, Value(42));

    std::istringstream good("  {\"a\":[1]}");
    good >> target;
    EXPECT_EQ(target.member("a")[0].toInt(), 1);
}

TEST(JsonExtraction, ReadsOneValueAtATime) {
    std::istringstream in("1 [2] \"three\"");
    Value a, b, c;
    in >> a >> b >> c;
    EXPECT_EQ(a.toInt(), 1);
    EXPECT_EQ(b[0].toInt(), 2);
    EXPECT_EQ(c.toString(), "three");
}

}  // namespace
