#include "config/Json.h"

#include <locale.h>
#include <stdlib.h>
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <ostream>
#include <streambuf>
#include <system_error>
#include <vector>

namespace Json {
namespace {

// ===========================================================================
// Reader
//
// The reader sees its input through a source with one character of
// look-ahead. Two sources share the grammar: a character buffer (the fast
// path) and a stream buffer, which consumes exactly what the grammar took so
// that text after the value stays in the stream.

constexpr int kEnd = -1;

// Tests on eight bytes at once, for the long runs of ordinary characters in
// keys, strings and indentation.
constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighBits = 0x8080808080808080ull;

uint64_t load8(const char* p) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}
// Non-zero when some byte of the word equals b.
constexpr uint64_t hasByte(uint64_t word, unsigned char b) {
    uint64_t x = word ^ (kOnes * b);
    return (x - kOnes) & ~x & kHighBits;
}
// Non-zero when some byte of the word is below n (n at most 128).
constexpr uint64_t hasByteBelow(uint64_t word, unsigned char n) { return (word - kOnes * n) & ~word & kHighBits; }

constexpr std::array<bool, 256> kJsonSpace = [] {
    std::array<bool, 256> table{};
    // Vertical tab is deliberately not white space.
    for (unsigned char c : {' ', '\t', '\n', '\r', '\f'}) table[c] = true;
    return table;
}();

class TextSource {
public:
    explicit TextSource(std::string_view text)
        : m_begin(text.data()), m_pos(text.data()), m_end(text.data() + text.size()) {}

    int peek() const { return m_pos < m_end ? static_cast<unsigned char>(*m_pos) : kEnd; }
    void advance() { ++m_pos; }
    std::size_t consumed() const { return static_cast<std::size_t>(m_pos - m_begin); }
    bool hitEnd() const { return m_pos >= m_end; }

    // Number text is a plain slice of the input.
    void beginCapture() { m_capture = m_pos; }
    void captureAdvance() { ++m_pos; }
    std::string_view captured() const { return {m_capture, static_cast<std::size_t>(m_pos - m_capture)}; }

    // Appends the run of ordinary string bytes (no quote, no backslash) at
    // the current position in one go.
    void appendPlainRun(std::string& out) {
        const char* start = m_pos;
        while (m_end - m_pos >= 8) {
            uint64_t word = load8(m_pos);
            if (hasByte(word, '"') || hasByte(word, '\\')) break;
            m_pos += 8;
        }
        while (m_pos < m_end && *m_pos != '"' && *m_pos != '\\') ++m_pos;
        out.append(start, static_cast<std::size_t>(m_pos - start));
    }

    void skipSpace() {
        while (m_pos < m_end && kJsonSpace[static_cast<unsigned char>(*m_pos)]) ++m_pos;
    }

private:
    const char* m_begin;
    const char* m_pos;
    const char* m_end;
    const char* m_capture = nullptr;
};

class StreamSource {
public:
    explicit StreamSource(std::streambuf* buffer) : m_buffer(buffer) {}

    int peek() {
        if (!m_buffer) return kEnd;
        auto c = m_buffer->sgetc();
        if (std::char_traits<char>::eq_int_type(c, std::char_traits<char>::eof())) {
            m_hitEnd = true;
            return kEnd;
        }
        return static_cast<unsigned char>(std::char_traits<char>::to_char_type(c));
    }
    void advance() {
        m_buffer->sbumpc();
        ++m_consumed;
    }
    std::size_t consumed() const { return m_consumed; }
    bool hitEnd() const { return m_hitEnd; }

    void beginCapture() { m_capture.clear(); }
    void captureAdvance() {
        m_capture.push_back(static_cast<char>(peek()));
        advance();
    }
    std::string_view captured() const { return m_capture; }

    void appendPlainRun(std::string& out) {
        for (int c = peek(); c != kEnd && c != '"' && c != '\\'; c = peek()) {
            out.push_back(static_cast<char>(c));
            advance();
        }
    }

    void skipSpace() {
        for (int c = peek(); c != kEnd && kJsonSpace[static_cast<unsigned char>(c)]; c = peek()) advance();
    }

private:
    std::streambuf* m_buffer;
    std::string m_capture;
    std::size_t m_consumed = 0;
    bool m_hitEnd = false;
};

bool isDigit(int c) { return c >= '0' && c <= '9'; }

int hexValue(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void appendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp <= 0x10FFFF) {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        // Unreachable from the reader: four hex digits and a surrogate pair
        // stay below U+110000.
        throw ParseError(ParseError::kUnknown, "a code point up to U+10FFFF");
    }
}

// Out-of-range decimal text converted the way strtod does it (to an infinity
// or to zero), independent of the process locale.
double convertOutOfRange(std::string_view text) {
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
    std::string copy(text);
    return cLocale ? strtod_l(copy.c_str(), nullptr, cLocale) : std::strtod(copy.c_str(), nullptr);
}

// The element and member stacks of the reader. Each thread keeps one set
// between parses so that their memory is allocated once, not per document;
// a parse that finds the set in use (a stream that parses from inside its own
// read, say) takes a fresh one.
struct ReaderStacks {
    std::vector<Value> elements;
    ValueObject::container members;
    bool inUse = false;
};

class BorrowedStacks {
public:
    BorrowedStacks() : m_stacks(t_stacks.inUse ? m_own : t_stacks) { m_stacks.inUse = true; }
    ~BorrowedStacks() {
        // A huge document should not pin its memory to the thread.
        constexpr std::size_t kKeep = 4096;
        m_stacks.elements.clear();
        m_stacks.members.clear();
        if (m_stacks.elements.capacity() > kKeep) std::vector<Value>().swap(m_stacks.elements);
        if (m_stacks.members.capacity() > kKeep) ValueObject::container().swap(m_stacks.members);
        m_stacks.inUse = false;
    }
    BorrowedStacks(const BorrowedStacks&) = delete;
    BorrowedStacks& operator=(const BorrowedStacks&) = delete;

    ReaderStacks& get() { return m_stacks; }

private:
    static thread_local ReaderStacks t_stacks;
    ReaderStacks m_own;
    ReaderStacks& m_stacks;
};

thread_local ReaderStacks BorrowedStacks::t_stacks;

template <class Source>
class Reader {
public:
    explicit Reader(Source& source)
        : m_in(source), m_elementStack(m_stacks.get().elements), m_memberStack(m_stacks.get().members) {}

    Value readValue(int depth) {
        skipSpace();
        switch (require()) {
            case '"': {
                std::string s;
                readString(s);
                return Value(std::move(s));
            }
            case '[': return readArray(depth + 1);
            case '{': return readObject(depth + 1);
            case 't': expectLiteral("true"); return Value(true);
            case 'f': expectLiteral("false"); return Value(false);
            case 'n': expectLiteral("null"); return Value();
            default:
                if (m_in.peek() != '-' && !isDigit(m_in.peek())) fail("a value");
                return readNumber();
        }
    }

private:
    [[noreturn]] void fail(const char* expected) { throw ParseError(m_in.consumed(), expected); }

    // The next character, which must exist.
    int require() {
        int c = m_in.peek();
        if (c == kEnd) fail("more text (the document ends early)");
        return c;
    }

    void skipSpace() { m_in.skipSpace(); }

    void expectLiteral(std::string_view literal) {
        for (char expected : literal) {
            if (require() != static_cast<unsigned char>(expected)) fail("true, false or null");
            m_in.advance();
        }
    }

    uint32_t readHex4() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            int digit = hexValue(require());
            if (digit < 0) fail("four hexadecimal digits after \\u");
            m_in.advance();
            v = (v << 4) | static_cast<uint32_t>(digit);
        }
        return v;
    }

    void readString(std::string& out) {
        m_in.advance();  // the opening quote
        for (;;) {
            m_in.appendPlainRun(out);
            int c = require();
            m_in.advance();
            if (c == '"') return;
            // A backslash: an escape.
            int e = require();
            m_in.advance();
            switch (e) {
                case '"':
                case '/':
                case '\\': out.push_back(static_cast<char>(e)); break;
                case 'b': out.push_back('\b'); break;
                case 'f': out.push_back('\f'); break;
                case 'n': out.push_back('\n'); break;
                case 'r': out.push_back('\r'); break;
                case 't': out.push_back('\t'); break;
                case 'u': {
                    uint32_t cp = readHex4();
                    if (cp >= 0xD800 && cp <= 0xDBFF) {
                        // A high surrogate needs its low half at once.
                        if (require() != '\\') fail("the low half of a surrogate pair");
                        m_in.advance();
                        if (require() != 'u') fail("the low half of a surrogate pair");
                        m_in.advance();
                        uint32_t low = readHex4();
                        if (low < 0xDC00 || low > 0xDFFF) fail("the low half of a surrogate pair");
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    }
                    // A lone low surrogate is passed through as it is.
                    appendUtf8(out, cp);
                    break;
                }
                default: fail("an escape: \\\" \\\\ \\/ \\b \\f \\n \\r \\t or \\u");
            }
        }
    }

    // Elements and members collect on stacks shared by every level, so each
    // container is allocated once at its final size.
    Value readArray(int depth) {
        if (depth > kMaxDepth) fail("less nesting (at most 256 levels)");
        m_in.advance();  // '['
        const std::size_t base = m_elementStack.size();
        for (;;) {
            skipSpace();
            int c = require();
            if (c == ',') {
                if (m_elementStack.size() == base) fail("a value before ','");
                m_in.advance();
            } else if (c == ']') {
                m_in.advance();
                auto first = m_elementStack.begin() + static_cast<std::ptrdiff_t>(base);
                Value::Array elements(std::make_move_iterator(first), std::make_move_iterator(m_elementStack.end()));
                m_elementStack.erase(first, m_elementStack.end());
                return Value(std::move(elements));
            } else {
                Value element = readValue(depth);
                m_elementStack.push_back(std::move(element));
            }
        }
    }

    Value readObject(int depth) {
        if (depth > kMaxDepth) fail("less nesting (at most 256 levels)");
        m_in.advance();  // '{'
        const std::size_t base = m_memberStack.size();
        for (;;) {
            skipSpace();
            int c = require();
            if (c == ',') {
                if (m_memberStack.size() == base) fail("a member before ','");
                m_in.advance();
            } else if (c == '}') {
                m_in.advance();
                auto first = m_memberStack.begin() + static_cast<std::ptrdiff_t>(base);
                ValueObject::container members(std::make_move_iterator(first),
                                               std::make_move_iterator(m_memberStack.end()));
                m_memberStack.erase(first, m_memberStack.end());
                return Value(ValueObject::fromUnordered(std::move(members)));
            } else {
                if (c != '"') fail("a member name in quotes");
                std::string key;
                readString(key);
                skipSpace();
                if (require() != ':') fail("':' after a member name");
                m_in.advance();
                Value member = readValue(depth);
                m_memberStack.emplace_back(std::move(key), std::move(member));
            }
        }
    }

    void takeDigits() {
        while (isDigit(m_in.peek())) m_in.captureAdvance();
    }

    void requireDigit() {
        if (!isDigit(require())) fail("a digit");
        m_in.captureAdvance();
    }

    Value readNumber() {
        m_in.beginCapture();
        bool negative = false;
        bool integral = true;
        if (m_in.peek() == '-') {
            negative = true;
            m_in.captureAdvance();
        }
        // A leading zero ends the integer part: "01" is 0 followed by "1".
        if (require() == '0') {
            m_in.captureAdvance();
        } else {
            requireDigit();
            takeDigits();
        }
        if (m_in.peek() == '.') {
            integral = false;
            m_in.captureAdvance();
            requireDigit();
            takeDigits();
        }
        if (m_in.peek() == 'e' || m_in.peek() == 'E') {
            integral = false;
            m_in.captureAdvance();
            if (m_in.peek() == '+' || m_in.peek() == '-') m_in.captureAdvance();
            requireDigit();
            takeDigits();
        }
        std::string_view text = m_in.captured();
        const char* first = text.data();
        const char* last = text.data() + text.size();
        if (!integral) {
            double d = 0.0;
            auto [ptr, ec] = std::from_chars(first, last, d, std::chars_format::general);
            if (ec == std::errc::result_out_of_range) return Value(convertOutOfRange(text));
            if (ec != std::errc() || ptr != last) fail("a number");
            return Value(d);
        }
        if (!negative) {
            uint64_t u = 0;
            auto [ptr, ec] = std::from_chars(first, last, u);
            // Integers beyond 64 bits have no kind to hold them.
            if (ec != std::errc() || ptr != last) fail("an integer that fits in 64 bits");
            if (u < 0x80000000ull) return Value(static_cast<int32_t>(u));
            if (u < 0x100000000ull) return Value(static_cast<uint32_t>(u));
            return Value(u);
        }
        int64_t s = 0;
        auto [ptr, ec] = std::from_chars(first, last, s);
        if (ec != std::errc() || ptr != last) fail("an integer that fits in 64 bits");
        if (s >= INT32_MIN) return Value(static_cast<int32_t>(s));
        return Value(s);
    }

    Source& m_in;
    BorrowedStacks m_stacks;
    std::vector<Value>& m_elementStack;
    ValueObject::container& m_memberStack;
};

// ===========================================================================
// Writer
//
// The indent carries the layout: odd means one line; even means several
// lines, a positive even indent starting on a new line indented by that many
// spaces, zero or a negative even indent continuing the current line with
// nested content indented relative to its absolute value.

// The text being written. The writer appends a byte or a few at a time, and
// std::string checks its capacity (out of line) on every one of them; this
// keeps a cursor into a string grown ahead in large steps instead, and trims
// the string to what was written when it goes.
class Output {
public:
    explicit Output(std::string& text) : m_text(text), m_size(text.size()) {}
    ~Output() { m_text.resize(m_size); }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Always inlined: out of line, the call would cost more than the byte.
    [[gnu::always_inline]] void put(char c) {
        if (m_size == m_text.size()) grow(1);
        m_text[m_size++] = c;
    }
    [[gnu::always_inline]] void append(const char* bytes, std::size_t n) {
        if (m_text.size() - m_size < n) grow(n);
        std::memcpy(m_text.data() + m_size, bytes, n);
        m_size += n;
    }
    void append(std::string_view bytes) { append(bytes.data(), bytes.size()); }

private:
    [[gnu::noinline]] void grow(std::size_t n) { m_text.resize(std::max(2 * m_text.size(), m_size + n + 4096)); }

    std::string& m_text;
    std::size_t m_size;
};

bool isEven(int indent) { return indent % 2 == 0; }

void newLine(Output& out, int indent) {
    static const std::string kSpaces(64, ' ');
    out.put('\n');
    for (auto left = static_cast<std::size_t>(indent); left > 0;) {
        std::size_t n = std::min(left, kSpaces.size());
        out.append(kSpaces.data(), n);
        left -= n;
    }
}

// Bytes that a quoted string writes as an escape (the slash only on request).
struct EscapeTable {
    std::array<char, 256> letter{};
    constexpr EscapeTable() {
        letter['\b'] = 'b';
        letter['\t'] = 't';
        letter['\n'] = 'n';
        letter['\f'] = 'f';
        letter['\r'] = 'r';
        letter['"'] = '"';
        letter['\\'] = '\\';
        letter['/'] = '/';
    }
};
constexpr EscapeTable kEscapes;

void writeQuoted(Output& out, std::string_view s, bool escapeSlash) {
    out.put('"');
    std::size_t runStart = 0;
    std::size_t i = 0;
    while (i < s.size()) {
        // Skip eight bytes at a time while none of them may need an escape.
        if (s.size() - i >= 8) {
            uint64_t word = load8(s.data() + i);
            if (!hasByteBelow(word, 14) && !hasByte(word, '"') && !hasByte(word, '\\') &&
                !(escapeSlash && hasByte(word, '/'))) {
                i += 8;
                continue;
            }
        }
        char letter = kEscapes.letter[static_cast<unsigned char>(s[i])];
        if (letter == 0 || (letter == '/' && !escapeSlash)) {
            ++i;
            continue;
        }
        out.append(s.data() + runStart, i - runStart);
        out.put('\\');
        out.put(letter);
        runStart = ++i;
    }
    out.append(s.data() + runStart, s.size() - runStart);
    out.put('"');
}

template <class I>
void writeInteger(Output& out, I v) {
    char buffer[24];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, v);
    out.append(buffer, static_cast<std::size_t>(result.ptr - buffer));
}

// Six significant digits in general notation, as "%g" writes them. NaN
// becomes null and the infinities a number beyond the range of a double
// (which reads back as the same infinity): the file must stay JSON whatever
// a component stored.
template <class F>
void writeFloating(Output& out, F v) {
    if (std::isnan(v)) {
        out.append("null");
    } else if (std::isinf(v)) {
        out.append(v > 0 ? "1e999" : "-1e999");
    } else {
        char buffer[64];
        auto result = std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::general, 6);
        out.append(buffer, static_cast<std::size_t>(result.ptr - buffer));
    }
}

bool writeValue(const Value& value, Output& out, bool quoted, bool escapeSlash, int indent, bool nested) {
    bool unknownKind = value.kind() == Value::Kind::Float || value.kind() == Value::Kind::OutputMode;
    if (unknownKind && !nested) return false;
    if (quoted && isEven(indent)) {
        if (indent > 0) {
            newLine(out, indent);
        } else {
            indent = -indent;
        }
    }
    switch (value.kind()) {
        case Value::Kind::String: {
            const auto& s = *value.as<std::string>();
            if (quoted) {
                writeQuoted(out, s, escapeSlash);
            } else {
                out.append(s);
            }
            return true;
        }
        case Value::Kind::Int: writeInteger(out, *value.as<int32_t>()); return true;
        case Value::Kind::UInt: writeInteger(out, *value.as<uint32_t>()); return true;
        case Value::Kind::Int64: writeInteger(out, *value.as<int64_t>()); return true;
        case Value::Kind::UInt64: writeInteger(out, *value.as<uint64_t>()); return true;
        case Value::Kind::Double: writeFloating(out, *value.as<double>()); return true;
        case Value::Kind::LongDouble: writeFloating(out, *value.as<long double>()); return true;
        case Value::Kind::Bool: out.append(*value.as<bool>() ? "true" : "false"); return true;
        case Value::Kind::Null: out.append("null"); return true;
        case Value::Kind::Array: {
            out.put('[');
            bool first = true;
            for (const auto& element : *value.as<Value::Array>()) {
                if (!first) out.put(',');
                first = false;
                writeValue(element, out, quoted, escapeSlash, indent + 2, true);
            }
            if (quoted && isEven(indent)) newLine(out, indent);
            out.put(']');
            return true;
        }
        case Value::Kind::Object: {
            out.put('{');
            bool first = true;
            for (const auto& [key, member] : *value.as<Value::Object>()) {
                if (!first) out.put(',');
                first = false;
                if (quoted) {
                    // The key is a quoted string one level in: in the
                    // multi-line form it begins a new line.
                    if (isEven(indent + 2)) newLine(out, indent + 2);
                    writeQuoted(out, key, escapeSlash);
                } else {
                    out.append(key);
                }
                out.put(':');
                if (quoted && isEven(indent)) out.put(' ');
                writeValue(member, out, quoted, escapeSlash, -(indent + 2), true);
            }
            if (quoted && isEven(indent) && indent >= 0) newLine(out, indent);
            out.put('}');
            return true;
        }
        // Kinds that no file or client ever holds. Alone they are refused;
        // inside a container they are written as the numbers they are, so
        // that the document stays valid JSON.
        case Value::Kind::Float: writeFloating(out, static_cast<double>(*value.as<float>())); return true;
        case Value::Kind::OutputMode:
            writeInteger(out, static_cast<int32_t>(*value.as<Value::OutputMode>()));
            return true;
    }
    return false;
}

}  // namespace

ParseError::ParseError(std::size_t offset, std::string expected)
    : m_offset(offset), m_expected(std::move(expected)), m_message("JSON parse error: " + where()) {}

ParseError ParseError::located(std::string_view text) const {
    ParseError placed(*this);
    if (m_offset == kUnknown || m_offset > text.size()) return placed;
    const std::string_view before = text.substr(0, m_offset);
    const std::size_t lastBreak = before.rfind('\n');
    placed.m_line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
    placed.m_column = 1 + (lastBreak == std::string_view::npos ? m_offset : m_offset - lastBreak - 1);
    placed.m_message = "JSON parse error: " + placed.where();
    return placed;
}

std::string ParseError::where() const {
    std::string text;
    if (m_line != 0) {
        text = "line " + std::to_string(m_line) + ", column " + std::to_string(m_column) + ": ";
    } else if (m_offset != kUnknown) {
        text = "byte " + std::to_string(m_offset) + ": ";
    }
    return text + "expected " + m_expected;
}

Value parse(std::string_view text, std::size_t* consumed) {
    TextSource source(text);
    Reader<TextSource> reader(source);
    try {
        Value value = reader.readValue(0);
        if (consumed) *consumed = source.consumed();
        return value;
    } catch (const ParseError& error) {
        throw error.located(text);
    }
}

Value parse(std::istream& in) {
    StreamSource source(in.rdbuf());
    Reader<StreamSource> reader(source);
    try {
        Value value = reader.readValue(0);
        if (source.hitEnd()) in.setstate(std::ios::eofbit);
        return value;
    } catch (...) {
        if (source.hitEnd()) in.setstate(std::ios::eofbit);
        throw;
    }
}

bool write(const Value& value, std::string& out, bool quoted, bool escapeSlash, int indent) {
    Output output(out);
    return writeValue(value, output, quoted, escapeSlash, indent, false);
}

bool write(const Value& value, std::ostream& out, bool quoted, bool escapeSlash, int indent) {
    std::string text;
    if (!write(value, text, quoted, escapeSlash, indent)) return false;
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    return true;
}

std::string toJson(const Value& value, bool escapeSlash, bool pretty) {
    std::string text;
    write(value, text, /*quoted=*/true, escapeSlash, pretty ? 0 : 1);
    return text;
}

}  // namespace Json

std::istream& operator>>(std::istream& in, Value& target) {
    std::istream::sentry ready(in, /*noskipws=*/true);
    if (!ready) return in;
    try {
        target = Json::parse(in);
    } catch (const std::exception&) {
        // A failed read leaves the target as it was; callers that need to
        // know start from null and look (see the configuration loader).
    }
    return in;
}
