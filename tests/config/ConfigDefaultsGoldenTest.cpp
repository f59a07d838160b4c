// The code's table of defaults against defaults.golden, a copy of the
// product's table kept by hand: a default value, kind or level changed in
// either place shows up here, key by key.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "config/ConfigDefaults.h"
#include "config/OutputMode.h"

namespace {

struct GoldenRow {
    std::string kind;
    Value value;
    int32_t level = 0;
};

// Exactly the text of a number: a golden line that strtod reads only in part
// is a typing error in the file, not a default.
double number(const std::string& text) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    EXPECT_TRUE(!text.empty() && *end == '\0') << "not a number: " << text;
    return v;
}

Value goldenValue(const std::string& kind, const std::string& text) {
    if (kind == "string") {
        EXPECT_TRUE(text.size() >= 2 && text.front() == '"' && text.back() == '"') << text;
        return Value(text.substr(1, text.size() - 2));
    }
    if (kind == "double") return Value(number(text));
    if (kind == "int") return Value(static_cast<int32_t>(std::stol(text)));
    if (kind == "bool") {
        EXPECT_TRUE(text == "true" || text == "false") << text;
        return Value(text == "true");
    }
    if (kind == "output_mode") {
        return Value(static_cast<Tyvo::OutputPeripheral::OutputMode>(std::stol(text)));
    }
    if (kind == "array") {
        EXPECT_TRUE(text.size() >= 2 && text.front() == '[' && text.back() == ']') << text;
        Value::Array items;
        std::istringstream list(text.substr(1, text.size() - 2));
        for (std::string item; std::getline(list, item, ',');) items.emplace_back(number(item));
        return Value(std::move(items));
    }
    ADD_FAILURE() << "unknown kind " << kind;
    return Value();
}

std::string kindName(const Value& v) {
    switch (v.kind()) {
        case Value::Kind::String: return "string";
        case Value::Kind::Double: return "double";
        case Value::Kind::Int: return "int";
        case Value::Kind::Bool: return "bool";
        case Value::Kind::OutputMode: return "output_mode";
        case Value::Kind::Array: return "array";
        default: return "kind " + std::to_string(static_cast<int>(v.kind()));
    }
}

std::map<std::string, GoldenRow> readGolden() {
    std::map<std::string, GoldenRow> rows;
    std::ifstream in(TYVO_DEFAULTS_GOLDEN);
    EXPECT_TRUE(in) << "cannot read " << TYVO_DEFAULTS_GOLDEN;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string key, kind, value, level;
        std::getline(fields, key, '\t');
        std::getline(fields, kind, '\t');
        std::getline(fields, value, '\t');
        std::getline(fields, level, '\t');
        EXPECT_FALSE(level.empty()) << "short line: " << line;
        GoldenRow row{kind, goldenValue(kind, value), static_cast<int32_t>(std::stol(level.empty() ? "0" : level))};
        EXPECT_TRUE(rows.emplace(key, std::move(row)).second) << "twice in the file: " << key;
    }
    return rows;
}

TEST(DefaultsGolden, EveryDefaultHasTheKindValueAndLevelOfTheGoldenFile) {
    const auto golden = readGolden();
    ASSERT_EQ(golden.size(), 130u) << "93 table rows, 24 screen points, 3 more rows, 10 screen calibrations";

    std::map<std::string, const Config::DefaultRow*> code;
    for (const auto& row : Config::defaultRows()) code.emplace(row.key, &row);

    for (const auto& [key, expected] : golden) {
        auto found = code.find(key);
        if (found == code.end()) {
            ADD_FAILURE() << "no default for " << key;
            continue;
        }
        const Config::DefaultRow& row = *found->second;
        EXPECT_EQ(kindName(row.value), expected.kind) << key;
        // Doubles compare bit for bit: the widened single-precision defaults
        // must stay what they are.
        EXPECT_EQ(row.value, expected.value) << key;
        EXPECT_EQ(row.level, expected.level) << key;
    }
    for (const auto& [key, row] : code) EXPECT_TRUE(golden.count(key)) << "not in the golden file: " << key;
}

}  // namespace
