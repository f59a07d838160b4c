#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <stdexcept>
#include <string>

#include "config/Value.h"

namespace {

using Kind = Value::Kind;
const Value kMode(Tyvo::OutputPeripheral::OutputModeDefault);

TEST(ValueKinds, ExactStoredTypeAndTypeCode) {
    struct Row {
        Value value;
        Kind kind;
        int code;
    };
    const Row rows[] = {
        {Value(), Kind::Null, 0},
        {Value(static_cast<const char*>(nullptr)), Kind::Null, 0},
        {Value(true), Kind::Bool, 1},
        {Value(int32_t{-1}), Kind::Int, 2},
        {Value(1u), Kind::UInt, 3},
        {Value(1LL), Kind::Int64, 4},
        {Value(int64_t{1}), Kind::Int64, 4},
        {Value(1ULL), Kind::UInt64, 5},
        {Value::exactFloat(1), Kind::Float, 6},
        {Value(1.5f), Kind::Double, 7},  // a float is kept as a double
        {Value(1.5), Kind::Double, 7},
        {Value(1.5L), Kind::LongDouble, 8},
        {Value("s"), Kind::String, 9},
        {Value(Value::Array()), Kind::Array, 10},
        {Value(Value::Object()), Kind::Object, 0},
        {kMode, Kind::OutputMode, 0},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.value.kind(), row.kind) << row.code;
        EXPECT_EQ(row.value.typeCode(), row.code) << static_cast<int>(row.kind);
    }
    // No widening when testing or accessing.
    EXPECT_FALSE(Value(5).isInt64());
    EXPECT_EQ(Value(5).as<int64_t>(), nullptr);
    EXPECT_EQ(*Value(5).as<int32_t>(), 5);
}

TEST(ValueAccess, ElementsAndMembers) {
    Value a(Value::Array{Value(1), Value(2)});
    EXPECT_EQ(a[1].toInt(), 2);
    try {
        (void)a[2];
        FAIL() << "no exception";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "invalid vector<T> subscript");
    }
    EXPECT_THROW((void)Value(3)[0], std::out_of_range);

    Value o;  // null becomes an object on the first member
    o.setMember("b", Value(1));
    o.setMember("B", Value(2));
    o.setMember("a", Value(3));
    o.setMember("b", Value("replaced"));
    std::string keys;
    for (const auto& member : *o.as<Value::Object>()) keys += member.first;
    EXPECT_EQ(keys, "Bab") << "byte order, unique keys";
    EXPECT_EQ(o.member("b"), Value("replaced"));
    EXPECT_TRUE(o.member("absent").isNull());
    EXPECT_TRUE(Value(5).member("b").isNull());
    Value copy = o;
    copy.setMember("a", Value(0));
    EXPECT_EQ(o.member("a"), Value(3)) << "copies are deep";
    EXPECT_THROW(Value(1).setMember("k", Value()), std::logic_error);

    ValueObject::container unordered;
    const std::pair<const char*, int> texts[] = {{"z", 1}, {"a", 2}, {"z", 3}, {"a", 4}};
    for (const auto& [key, n] : texts) unordered.emplace_back(key, n);
    auto members = ValueObject::fromUnordered(std::move(unordered));
    EXPECT_EQ(members.size(), 2u);
    EXPECT_EQ(members.get("a")->toInt(), 4) << "the later duplicate wins";
    EXPECT_EQ(members.get("z")->toInt(), 3);
}

// Members in any order, with repeated keys, on both sides of the size where
// the sort's positions move from the stack to the heap: byte-wise key order,
// one member per key, the later of equal keys winning, as a map assigned in
// text order has it.
TEST(ValueObjects, FromUnorderedAgreesWithAMapOnRandomMembers) {
    std::mt19937 random(16);
    for (std::size_t size : {0u, 1u, 2u, 3u, 17u, 63u, 64u, 65u, 66u, 200u, 1000u}) {
        SCOPED_TRACE("size " + std::to_string(size));
        // Few distinct keys for the larger sizes, so duplicates are common;
        // keys share prefixes and include bytes above 0x7F.
        std::uniform_int_distribution<int> pick(0, static_cast<int>(size / 2 + 1));
        ValueObject::container members;
        std::map<std::string, int> expected;
        for (std::size_t i = 0; i < size; ++i) {
            std::string key = "k" + std::to_string(pick(random));
            if (i % 5 == 0) key += '\xC3';
            members.emplace_back(key, Value(static_cast<int32_t>(i)));
            expected[key] = static_cast<int>(i);
        }
        const auto object = ValueObject::fromUnordered(std::move(members));
        ASSERT_EQ(object.size(), expected.size());
        auto want = expected.begin();
        for (const auto& [key, value] : object) {
            EXPECT_EQ(key, want->first);
            EXPECT_EQ(value.toInt(), want->second) << key;
            ++want;
        }
    }
}

TEST(ValueConversions, EveryKindToEveryTarget) {
    struct Row {
        Value value;
        int32_t i;
        uint32_t u;
        double d;
        bool b;
        std::string s;
    };
    Value object;
    object.setMember("k", Value("v"));
    const double nan = std::nan("");
    const Row rows[] = {
        {Value(), 0, 0, 0.0, false, "null"},
        {Value(true), 1, 1, 1.0, true, "true"},
        {Value(-7), -7, 0xFFFFFFF9u, -7.0, true, "-7"},
        {Value(0xFFFFFFFFu), -1, 0xFFFFFFFFu, 4294967295.0, true, "4294967295"},
        {Value(0x1'0000'0005LL), 5, 5, 4294967301.0, true, "4294967301"},
        {Value(UINT64_MAX), -1, 0xFFFFFFFFu, 18446744073709551615.0, true, "18446744073709551615"},
        {Value(-2.9), -2, 0xFFFFFFFEu, -2.9, true, "-2.9"},  // through 64 bits
        {Value(4294967303.0), INT32_MAX, 7, 4294967303.0, true, "4.29497e+09"},
        {Value(0.0), 0, 0, 0.0, false, "0"},
        {Value(nan), 0, 0, nan, true, "null"},
        {Value(-2.5L), -2, 0xFFFFFFFEu, -2.5, true, "-2.5"},
        {Value::exactFloat(1.5f), 1, 1, 1.5, true, ""},
        {kMode, 0, 0, 0.0, true, ""},
        {Value("12abc"), 12, 12, 12.0, true, "12abc"},
        {Value(" 2.5e1x"), 2, 2, 25.0, true, " 2.5e1x"},
        {Value("4000000000"), INT32_MAX, 4000000000u, 4e9, true, "4000000000"},
        {Value("false"), 0, 0, 0.0, false, "false"},
        {Value("False"), 0, 0, 0.0, true, "False"},
        {Value("0"), 0, 0, 0.0, false, "0"},
        {Value(""), 0, 0, 0.0, false, ""},
        {Value(Value::Array{Value("a"), Value("b/c")}), 0, 0, 0.0, true, "[a,b/c]"},
        {object, 0, 0, 0.0, true, "{k:v}"},
    };
    for (const auto& row : rows) {
        const std::string label = row.s + " (" + std::to_string(static_cast<int>(row.value.kind())) + ")";
        EXPECT_EQ(row.value.toInt(), row.i) << label;
        EXPECT_EQ(row.value.toUnsigned(), row.u) << label;
        if (std::isnan(row.d)) {
            EXPECT_TRUE(std::isnan(row.value.toDouble())) << label;
        } else {
            EXPECT_EQ(row.value.toDouble(), row.d) << label;
        }
        EXPECT_EQ(row.value.toBool(), row.b) << label;
        EXPECT_EQ(row.value.toString(), row.s) << label;
    }
    EXPECT_EQ(Value(-1e20).toInt(), INT32_MIN) << "saturates";
}

}  // namespace
