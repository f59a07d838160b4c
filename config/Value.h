#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "config/OutputMode.h"

class Value;

// The members of an object value: unique keys kept in byte-wise key order.
// Stored as one sorted vector rather than a tree: configuration objects are
// small, written in key order and read far more often than changed, so a
// flat array saves one allocation per member and keeps lookups cache-friendly.
class ValueObject {
public:
    using value_type = std::pair<std::string, Value>;
    using container = std::vector<value_type>;
    using iterator = container::iterator;
    using const_iterator = container::const_iterator;

    ValueObject() = default;

    // Builds an object from members in any order; of two members with the
    // same key the later one wins, as in a JSON text.
    static ValueObject fromUnordered(container members);

    iterator begin();
    iterator end();
    const_iterator begin() const;
    const_iterator end() const;
    std::size_t size() const;
    bool empty() const;
    void clear();

    iterator find(std::string_view key);
    const_iterator find(std::string_view key) const;
    bool contains(std::string_view key) const;

    // The member's value, or null when absent.
    const Value* get(std::string_view key) const;

    // The member, inserted as null when absent.
    Value& operator[](std::string_view key);

    // Inserts the member or replaces its value.
    void insert_or_assign(std::string key, Value value);

    // True when a member was removed.
    bool erase(std::string_view key);

    bool operator==(const ValueObject& other) const;

private:
    iterator lowerBound(std::string_view key);
    const_iterator lowerBound(std::string_view key) const;

    container m_members;
};

// The dynamically typed value of the configuration, the policy file and the
// client API. A value holds exactly one kind, decided by the exact stored
// type: there is no widening between kinds when they are tested.
class Value {
public:
    using Array = std::vector<Value>;
    using Object = ValueObject;
    using OutputMode = Tyvo::OutputPeripheral::OutputMode;

    // In the order of the stored alternatives.
    enum class Kind : uint8_t {
        Null,
        Bool,
        Int,     // int32_t
        UInt,    // uint32_t
        Int64,   // "long long"
        UInt64,  // "unsigned long long"
        Float,
        Double,
        LongDouble,
        String,
        Array,
        Object,
        OutputMode,
    };

    Value() noexcept = default;
    Value(std::nullptr_t) noexcept {}
    Value(bool v) : m_data(v) {}
    // Every integer type maps onto the kind of its width and signedness.
    template <std::integral I>
    requires(!std::same_as<I, bool>) Value(I v) : m_data(integral(v)) {}
    // A float is kept as a double: no value of this system needs single
    // precision, and doubles are what the writer and the API understand.
    Value(float v) : m_data(static_cast<double>(v)) {}
    Value(double v) : m_data(v) {}
    Value(long double v) : m_data(v) {}
    Value(const char* v);
    Value(std::string v) : m_data(std::move(v)) {}
    Value(std::string_view v) : m_data(std::string(v)) {}
    Value(Array v) : m_data(std::move(v)) {}
    Value(Object v) : m_data(std::move(v)) {}
    Value(OutputMode v) : m_data(v) {}

    // A value of the float kind itself (no constructor makes one).
    static Value exactFloat(float v);

    Kind kind() const { return static_cast<Kind>(m_data.index()); }

    bool isNull() const { return kind() == Kind::Null; }
    bool isBool() const { return kind() == Kind::Bool; }
    bool isInt() const { return kind() == Kind::Int; }
    bool isUnsigned() const { return kind() == Kind::UInt; }
    bool isInt64() const { return kind() == Kind::Int64; }
    bool isUInt64() const { return kind() == Kind::UInt64; }
    bool isFloat() const { return kind() == Kind::Float; }
    bool isDouble() const { return kind() == Kind::Double; }
    bool isLongDouble() const { return kind() == Kind::LongDouble; }
    bool isString() const { return kind() == Kind::String; }
    bool isArray() const { return kind() == Kind::Array; }
    bool isObject() const { return kind() == Kind::Object; }
    bool isOutputMode() const { return kind() == Kind::OutputMode; }

    // The numbering used by the message form: bool 1, int 2, unsigned 3,
    // long long 4, unsigned long long 5, float 6, double 7, long double 8,
    // string 9, array 10; null, object and the enumeration 0.
    int typeCode() const;

    // The stored object when the kind is exactly T, else null. T is one of
    // bool, int32_t, uint32_t, int64_t, uint64_t, float, double, long double,
    // std::string, Array, Object, OutputMode.
    template <class T>
    T* as() {
        return std::get_if<T>(&m_data);
    }
    template <class T>
    const T* as() const {
        return std::get_if<T>(&m_data);
    }

    // Array element; throws std::out_of_range "invalid vector<T> subscript"
    // for an index at or beyond the size (a value that is no array has none).
    Value& operator[](std::size_t index);
    const Value& operator[](std::size_t index) const;

    // A copy of the member, or null when this is no object or lacks the key.
    Value member(std::string_view key) const;

    // Inserts or replaces a member. A null value becomes an empty object
    // first; any other kind that is no object throws std::logic_error.
    void setMember(std::string key, Value value);

    // Elements of an array or members of an object; 0 for other kinds.
    std::size_t size() const;

    // Conversions. They never fail; see Value.cpp for the rules per kind.
    int32_t toInt() const;
    uint32_t toUnsigned() const;
    double toDouble() const;
    bool toBool() const;
    // A string unchanged; any other value as unquoted single-line JSON
    // (so ["a","b"] gives [a,b]); "" for a kind the writer does not know.
    std::string toString() const;

    // Same kind and equal contents, deeply.
    bool operator==(const Value& other) const { return m_data == other.m_data; }

private:
    struct Null {
        bool operator==(const Null&) const { return true; }
    };
    using Data = std::variant<Null, bool, int32_t, uint32_t, int64_t, uint64_t, float, double, long double, std::string,
                              Array, Object, OutputMode>;

    template <class I>
    static Data integral(I v) {
        if constexpr (std::is_signed_v<I>) {
            if constexpr (sizeof(I) <= 4) {
                return static_cast<int32_t>(v);
            } else {
                return static_cast<int64_t>(v);
            }
        } else {
            if constexpr (sizeof(I) <= 4) {
                return static_cast<uint32_t>(v);
            } else {
                return static_cast<uint64_t>(v);
            }
        }
    }

    Data m_data;
};

// ValueObject's members need Value complete.
inline ValueObject::iterator ValueObject::begin() { return m_members.begin(); }
inline ValueObject::iterator ValueObject::end() { return m_members.end(); }
inline ValueObject::const_iterator ValueObject::begin() const { return m_members.begin(); }
inline ValueObject::const_iterator ValueObject::end() const { return m_members.end(); }
inline std::size_t ValueObject::size() const { return m_members.size(); }
inline bool ValueObject::empty() const { return m_members.empty(); }
inline void ValueObject::clear() { m_members.clear(); }
inline bool ValueObject::contains(std::string_view key) const { return find(key) != end(); }

inline ValueObject::const_iterator ValueObject::find(std::string_view key) const {
    auto it = lowerBound(key);
    return (it != end() && it->first == key) ? it : end();
}

inline ValueObject::iterator ValueObject::find(std::string_view key) {
    auto it = lowerBound(key);
    return (it != end() && it->first == key) ? it : end();
}

inline const Value* ValueObject::get(std::string_view key) const {
    auto it = find(key);
    return it == end() ? nullptr : &it->second;
}
