#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

#include "config/OutputMode.h"
#include "config/Value.h"

namespace {

Value array(std::initializer_list<Value> items) { return Value(Value::Array(items)); }

// --- kinds and type codes ---------------------------------------------------

TEST(ValueKinds, EachConstructorStoresItsExactKind) {
    EXPECT_TRUE(Value().isNull());
    EXPECT_TRUE(Value(nullptr).isNull());
    EXPECT_TRUE(Value(true).isBool());
    EXPECT_TRUE(Value(int32_t{-1}).isInt());
    EXPECT_TRUE(Value(uint32_t{1}).isUnsigned());
    EXPECT_TRUE(Value(int64_t{-1}).isInt64());
    EXPECT_TRUE(Value(1LL).isInt64());
    EXPECT_TRUE(Value(uint64_t{1}).isUInt64());
    EXPECT_TRUE(Value(1ULL).isUInt64());
    EXPECT_TRUE(Value(1.5).isDouble());
    EXPECT_TRUE(Value(1.5L).isLongDouble());
    EXPECT_TRUE(Value("text").isString());
    EXPECT_TRUE(Value(std::string("text")).isString());
    EXPECT_TRUE(array({}).isArray());
    EXPECT_TRUE(Value(Value::Object()).isObject());
    EXPECT_TRUE(Value(Tyvo::OutputPeripheral::OutputModeDefault).isOutputMode());
    // A float is kept as a double; only exactFloat makes the float kind.
    EXPECT_TRUE(Value(1.5f).isDouble());
    EXPECT_TRUE(Value::exactFloat(1.5f).isFloat());
    // A null C string is no string.
    EXPECT_TRUE(Value(static_cast<const char*>(nullptr)).isNull());
}

TEST(ValueKinds, NoWideningBetweenKindsWhenTesting) {
    Value i(5);
    EXPECT_FALSE(i.isInt64());
    EXPECT_FALSE(i.isDouble());
    EXPECT_EQ(i.as<int64_t>(), nullptr);
    ASSERT_NE(i.as<int32_t>(), nullptr);
    EXPECT_EQ(*i.as<int32_t>(), 5);
    EXPECT_FALSE(Value(0).isNull());
    EXPECT_FALSE(Value("").isNull());
}

TEST(ValueKinds, TypeCodesNumberTheKinds) {
    EXPECT_EQ(Value(true).typeCode(), 1);
    EXPECT_EQ(Value(1).typeCode(), 2);
    EXPECT_EQ(Value(1u).typeCode(), 3);
    EXPECT_EQ(Value(1LL).typeCode(), 4);
    EXPECT_EQ(Value(1ULL).typeCode(), 5);
    EXPECT_EQ(Value::exactFloat(1).typeCode(), 6);
    EXPECT_EQ(Value(1.0).typeCode(), 7);
    EXPECT_EQ(Value(1.0L).typeCode(), 8);
    EXPECT_EQ(Value("s").typeCode(), 9);
    EXPECT_EQ(array({}).typeCode(), 10);
    EXPECT_EQ(Value().typeCode(), 0);
    EXPECT_EQ(Value(Value::Object()).typeCode(), 0);
    EXPECT_EQ(Value(Tyvo::OutputPeripheral::OutputModeDefault).typeCode(), 0);
}

// --- access -----------------------------------------------------------------

TEST(ValueAccess, ArrayIndexBeyondTheSizeFails) {
    Value a = array({1, 2});
    EXPECT_EQ(a[1].toInt(), 2);
    a[0] = Value("x");
    EXPECT_EQ(a[0].toString(), "x");
    try {
        (void)a[2];
        FAIL() << "no exception";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "invalid vector<T> subscript");
    }
    EXPECT_THROW((void)Value(3)[0], std::out_of_range);
}

TEST(ValueAccess, MemberLookupCopiesOrGivesNull) {
    Value o;
    o.setMember("k", Value(1));
    Value copy = o.member("k");
    copy = Value(2);
    EXPECT_EQ(o.member("k").toInt(), 1);
    EXPECT_TRUE(o.member("absent").isNull());
    EXPECT_TRUE(Value(5).member("k").isNull());
    o.setMember("k", Value("replaced"));
    EXPECT_EQ(o.size(), 1u);
    EXPECT_EQ(o.member("k").toString(), "replaced");
    Value number(1);
    EXPECT_THROW(number.setMember("k", Value()), std::logic_error);
}

TEST(ValueAccess, ObjectMembersStayInByteOrderWithUniqueKeys) {
    Value::Object o;
    o.insert_or_assign("b", 1);
    o.insert_or_assign("a", 2);
    o.insert_or_assign("B", 3);  // 'B' sorts before 'a' and 'b'
    o.insert_or_assign("a", 4);
    std::string keys;
    for (const auto& [key, value] : o) keys += key;
    EXPECT_EQ(keys, "Bab");
    EXPECT_EQ(o.get("a")->toInt(), 4);
    EXPECT_TRUE(o.erase("a"));
    EXPECT_FALSE(o.erase("a"));
    EXPECT_EQ(o.size(), 2u);
}

TEST(ValueAccess, UnorderedMembersKeepTheLastOfEachKey) {
    ValueObject::container members;
    members.emplace_back("z", 1);
    members.emplace_back("a", 2);
    members.emplace_back("z", 3);
    members.emplace_back("a", 4);
    members.emplace_back("m", 5);
    auto o = ValueObject::fromUnordered(std::move(members));
    ASSERT_EQ(o.size(), 3u);
    EXPECT_EQ(o.begin()->first, "a");
    EXPECT_EQ(o.get("a")->toInt(), 4);
    EXPECT_EQ(o.get("z")->toInt(), 3);
}

TEST(ValueAccess, CopiesAreDeep) {
    Value inner;
    inner.setMember("x", array({1}));
    Value outer = array({inner});
    Value copy = outer;
    (*copy.as<Value::Array>())[0].setMember("x", Value(2));
    EXPECT_EQ(outer[0].member("x")[0].toInt(), 1);
    EXPECT_FALSE(copy == outer);
}

// --- conversions --------------------------------------------------------------

TEST(ValueConversions, ToIntTruncatesTakesLowBitsAndParsesText) {
    EXPECT_EQ(Value(-7).toInt(), -7);
    EXPECT_EQ(Value(2.9).toInt(), 2);
    EXPECT_EQ(Value(-2.9).toInt(), -2);
    EXPECT_EQ(Value(-2.9L).toInt(), -2);
    EXPECT_EQ(Value(true).toInt(), 1);
    EXPECT_EQ(Value(0x1'0000'0005LL).toInt(), 5);
    EXPECT_EQ(Value(0xFFFF'FFFF'FFFF'FFFFULL).toInt(), -1);
    EXPECT_EQ(Value(0xFFFFFFFFu).toInt(), -1);
    EXPECT_EQ(Value("12abc").toInt(), 12);
    EXPECT_EQ(Value("  -34").toInt(), -34);
    EXPECT_EQ(Value("abc").toInt(), 0);
    EXPECT_EQ(Value().toInt(), 0);
    EXPECT_EQ(array({1}).toInt(), 0);
    // Out of range and NaN are defined: saturation and 0.
    EXPECT_EQ(Value(1e20).toInt(), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(Value(-1e20).toInt(), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(Value(std::nan("")).toInt(), 0);
}

TEST(ValueConversions, ToUnsignedGoesThroughSixtyFourBits) {
    EXPECT_EQ(Value(-1.0).toUnsigned(), 0xFFFFFFFFu);
    EXPECT_EQ(Value(4294967296.0 + 7).toUnsigned(), 7u);
    EXPECT_EQ(Value(-1).toUnsigned(), 0xFFFFFFFFu);
    EXPECT_EQ(Value("4000000000").toUnsigned(), 4000000000u);
    EXPECT_EQ(Value("4000000000").toInt(), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(Value(" 17x").toUnsigned(), 17u);
}

TEST(ValueConversions, ToDoubleKeepsUnsignedQuantities) {
    EXPECT_EQ(Value(0xFFFFFFFFu).toDouble(), 4294967295.0);
    EXPECT_EQ(Value(0xFFFF'FFFF'FFFF'FFFFULL).toDouble(), 18446744073709551615.0);
    EXPECT_EQ(Value(-3).toDouble(), -3.0);
    EXPECT_EQ(Value(true).toDouble(), 1.0);
    EXPECT_EQ(Value("2.5e1xyz").toDouble(), 25.0);
    EXPECT_EQ(Value("nothing").toDouble(), 0.0);
    EXPECT_EQ(Value::exactFloat(0.5f).toDouble(), 0.5);
    EXPECT_EQ(Value(Value::Object()).toDouble(), 0.0);
}

TEST(ValueConversions, ToBoolFollowsTheTextRules) {
    EXPECT_FALSE(Value("false").toBool());
    EXPECT_TRUE(Value("False").toBool());
    EXPECT_FALSE(Value("0").toBool());
    EXPECT_FALSE(Value("").toBool());
    EXPECT_TRUE(Value("00").toBool());
    EXPECT_TRUE(Value("no").toBool());
    EXPECT_FALSE(Value().toBool());
    EXPECT_FALSE(Value(0.0).toBool());
    EXPECT_TRUE(Value(0.1).toBool());
    EXPECT_FALSE(Value(0ULL).toBool());
    EXPECT_TRUE(Value(-1LL).toBool());
    EXPECT_TRUE(array({}).toBool());
    EXPECT_TRUE(Value(Value::Object()).toBool());
}

TEST(ValueConversions, ToStringWritesUnquotedSingleLineJson) {
    EXPECT_EQ(Value(12).toString(), "12");
    EXPECT_EQ(Value(true).toString(), "true");
    EXPECT_EQ(Value().toString(), "null");
    EXPECT_EQ(array({"a", "b"}).toString(), "[a,b]");
    Value o;
    o.setMember("k", Value("v"));
    EXPECT_EQ(o.toString(), "{k:v}");
    EXPECT_EQ(Value("a/\"b\"").toString(), "a/\"b\"");
    EXPECT_EQ(Value(0.1).toString(), "0.1");
    EXPECT_EQ(Value::exactFloat(1).toString(), "");
    EXPECT_EQ(Value(Tyvo::OutputPeripheral::OutputModeDefault).toString(), "");
}

}  // namespace
