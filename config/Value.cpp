#include "config/Value.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <locale>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "config/Json.h"

// ---------------------------------------------------------------------------
// ValueObject

ValueObject ValueObject::fromUnordered(container members) {
    ValueObject object;
    bool strictlyOrdered =
        std::adjacent_find(members.begin(), members.end(), [](const value_type& a, const value_type& b) {
            return !(a.first < b.first);
        }) == members.end();
    if (strictlyOrdered) {
        object.m_members = std::move(members);
        return object;
    }
    // Sorts positions rather than members: a member (a string and a value)
    // is costly to move, a position is not, so each member moves once, to
    // its place. Equal keys stay in text order (ties go by position), so the
    // last of each run of equal keys is the one the text meant.
    const std::size_t n = members.size();
    constexpr std::size_t kOnStack = 64;
    uint32_t stackOrder[kOnStack];
    std::vector<uint32_t> heapOrder;
    uint32_t* order = stackOrder;
    if (n > kOnStack) {
        heapOrder.resize(n);
        order = heapOrder.data();
    }
    for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<uint32_t>(i);
    std::sort(order, order + n, [&members](uint32_t a, uint32_t b) {
        const int byKey = members[a].first.compare(members[b].first);
        return byKey < 0 || (byKey == 0 && a < b);
    });
    object.m_members.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (i + 1 < n && members[order[i]].first == members[order[i + 1]].first) continue;
        object.m_members.push_back(std::move(members[order[i]]));
    }
    return object;
}

ValueObject::iterator ValueObject::lowerBound(std::string_view key) {
    return std::lower_bound(m_members.begin(), m_members.end(), key,
                            [](const value_type& member, std::string_view k) { return member.first < k; });
}

ValueObject::const_iterator ValueObject::lowerBound(std::string_view key) const {
    return std::lower_bound(m_members.begin(), m_members.end(), key,
                            [](const value_type& member, std::string_view k) { return member.first < k; });
}

Value& ValueObject::operator[](std::string_view key) {
    auto it = lowerBound(key);
    if (it != end() && it->first == key) return it->second;
    return m_members.emplace(it, std::string(key), Value())->second;
}

void ValueObject::insert_or_assign(std::string key, Value value) {
    auto it = lowerBound(key);
    if (it != end() && it->first == key) {
        it->second = std::move(value);
    } else {
        m_members.emplace(it, std::move(key), std::move(value));
    }
}

bool ValueObject::erase(std::string_view key) {
    auto it = find(key);
    if (it == end()) return false;
    m_members.erase(it);
    return true;
}

bool ValueObject::operator==(const ValueObject& other) const { return m_members == other.m_members; }

// ---------------------------------------------------------------------------
// Value

namespace {

// Floating point values are truncated toward zero; values beyond the target
// range saturate and NaN gives 0, so no conversion is ever undefined.
template <class F>
int32_t truncateToInt32(F v) {
    if (std::isnan(v)) return 0;
    if (v >= static_cast<F>(2147483648.0)) return std::numeric_limits<int32_t>::max();
    if (v <= static_cast<F>(-2147483649.0)) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

template <class F>
int64_t truncateToInt64(F v) {
    if (std::isnan(v)) return 0;
    if (v >= static_cast<F>(9223372036854775808.0)) return std::numeric_limits<int64_t>::max();
    if (v < static_cast<F>(-9223372036854775808.0)) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(v);
}

// Text is read the way the standard stream extraction reads it: leading
// white space skipped, parsing stops at the first character that cannot
// continue the number, 0 when nothing parses, the limit on overflow.
template <class T>
T extract(const std::string& text) {
    std::istringstream in(text);
    in.imbue(std::locale::classic());
    T v{};
    in >> v;
    return v;
}

}  // namespace

Value::Value(const char* v) {
    if (v) m_data = std::string(v);
}

Value Value::exactFloat(float v) {
    Value value;
    value.m_data = v;
    return value;
}

int Value::typeCode() const {
    switch (kind()) {
        case Kind::Bool: return 1;
        case Kind::Int: return 2;
        case Kind::UInt: return 3;
        case Kind::Int64: return 4;
        case Kind::UInt64: return 5;
        case Kind::Float: return 6;
        case Kind::Double: return 7;
        case Kind::LongDouble: return 8;
        case Kind::String: return 9;
        case Kind::Array: return 10;
        default: return 0;
    }
}

Value& Value::operator[](std::size_t index) {
    auto* array = as<Array>();
    if (!array || index >= array->size()) throw std::out_of_range("invalid vector<T> subscript");
    return (*array)[index];
}

const Value& Value::operator[](std::size_t index) const {
    auto* array = as<Array>();
    if (!array || index >= array->size()) throw std::out_of_range("invalid vector<T> subscript");
    return (*array)[index];
}

Value Value::member(std::string_view key) const {
    if (auto* object = as<Object>()) {
        if (auto* found = object->get(key)) return *found;
    }
    return Value();
}

void Value::setMember(std::string key, Value value) {
    if (isNull()) m_data = Object();
    auto* object = as<Object>();
    if (!object) throw std::logic_error("not an object");
    object->insert_or_assign(std::move(key), std::move(value));
}

std::size_t Value::size() const {
    if (auto* array = as<Array>()) return array->size();
    if (auto* object = as<Object>()) return object->size();
    return 0;
}

int32_t Value::toInt() const {
    switch (kind()) {
        case Kind::Bool: return *as<bool>() ? 1 : 0;
        case Kind::Int: return *as<int32_t>();
        case Kind::UInt: return static_cast<int32_t>(*as<uint32_t>());
        case Kind::Int64: return static_cast<int32_t>(*as<int64_t>());
        case Kind::UInt64: return static_cast<int32_t>(*as<uint64_t>());
        case Kind::Float: return truncateToInt32(*as<float>());
        case Kind::Double: return truncateToInt32(*as<double>());
        case Kind::LongDouble: return truncateToInt32(*as<long double>());
        case Kind::String: return extract<int32_t>(*as<std::string>());
        default: return 0;
    }
}

uint32_t Value::toUnsigned() const {
    switch (kind()) {
        case Kind::Bool: return *as<bool>() ? 1 : 0;
        case Kind::Int: return static_cast<uint32_t>(*as<int32_t>());
        case Kind::UInt: return *as<uint32_t>();
        case Kind::Int64: return static_cast<uint32_t>(*as<int64_t>());
        case Kind::UInt64: return static_cast<uint32_t>(*as<uint64_t>());
        // Through a 64-bit integer, so -1.0 gives 0xFFFFFFFF.
        case Kind::Float: return static_cast<uint32_t>(truncateToInt64(*as<float>()));
        case Kind::Double: return static_cast<uint32_t>(truncateToInt64(*as<double>()));
        case Kind::LongDouble: return static_cast<uint32_t>(truncateToInt64(*as<long double>()));
        case Kind::String: return extract<uint32_t>(*as<std::string>());
        default: return 0;
    }
}

double Value::toDouble() const {
    switch (kind()) {
        case Kind::Bool: return *as<bool>() ? 1.0 : 0.0;
        case Kind::Int: return *as<int32_t>();
        case Kind::UInt: return *as<uint32_t>();
        case Kind::Int64: return static_cast<double>(*as<int64_t>());
        case Kind::UInt64: return static_cast<double>(*as<uint64_t>());
        case Kind::Float: return *as<float>();
        case Kind::Double: return *as<double>();
        case Kind::LongDouble: return static_cast<double>(*as<long double>());
        case Kind::String: return extract<double>(*as<std::string>());
        default: return 0.0;
    }
}

bool Value::toBool() const {
    switch (kind()) {
        case Kind::Null: return false;
        case Kind::Bool: return *as<bool>();
        case Kind::Int: return *as<int32_t>() != 0;
        case Kind::UInt: return *as<uint32_t>() != 0;
        case Kind::Int64: return *as<int64_t>() != 0;
        case Kind::UInt64: return *as<uint64_t>() != 0;
        case Kind::Float: return *as<float>() != 0.0f;
        case Kind::Double: return *as<double>() != 0.0;
        case Kind::LongDouble: return *as<long double>() != 0.0L;
        case Kind::String: {
            const auto& s = *as<std::string>();
            return !(s.empty() || s == "0" || s == "false");
        }
        default: return true;  // arrays, objects and the enumeration
    }
}

std::string Value::toString() const {
    if (auto* s = as<std::string>()) return *s;
    std::string text;
    if (!Json::write(*this, text, /*quoted=*/false, /*escapeSlash=*/true, /*indent=*/-1)) return {};
    return text;
}
