#pragma once

#include <cstddef>
#include <exception>
#include <iosfwd>
#include <string>
#include <string_view>

#include "config/Value.h"

// The JSON text form of Value: the reader of configuration and policy files
// and the writer used for saving and for comparing values.
namespace Json {

// Arrays and objects nested deeper than this fail the parse, so that no
// input can exhaust the stack of the thread that reads it. Configuration
// documents are two or three levels deep.
inline constexpr int kMaxDepth = 256;

// Thrown by parse for malformed input: where the reader stopped (a byte
// offset, and for text parsed from memory its line and column, both from 1)
// and what it expected there.
class ParseError : public std::exception {
public:
    static constexpr std::size_t kUnknown = static_cast<std::size_t>(-1);

    ParseError(std::size_t offset, std::string expected);
    // The same failure placed in the text it came from.
    ParseError located(std::string_view text) const;

    std::size_t offset() const { return m_offset; }
    std::size_t line() const { return m_line; }      // 0 when not known
    std::size_t column() const { return m_column; }  // 0 when not known
    const std::string& expected() const { return m_expected; }
    // "line 3, column 7: expected ':' after a member name"
    std::string where() const;
    const char* what() const noexcept override { return m_message.c_str(); }

private:
    std::size_t m_offset;
    std::size_t m_line = 0;
    std::size_t m_column = 0;
    std::string m_expected;
    std::string m_message;
};

// Reads one JSON value and stops after it; text that follows is left unread
// (in the stream, or uncounted in `consumed`). The reader is lenient about
// commas: they may be left out, repeated or trailing, but not lead.
// Throws ParseError on malformed input.
Value parse(std::istream& in);
Value parse(std::string_view text, std::size_t* consumed = nullptr);

// Writes a value. `quoted` selects JSON (strings quoted and escaped) over the
// plain text form; `escapeSlash` writes '/' as "\/"; an odd indent writes one
// line, an even one several lines (see Json.cpp). Returns false, writing
// nothing, for a value of a kind the writer does not know (the float kind and
// the enumeration at top level).
bool write(const Value& value, std::ostream& out, bool quoted, bool escapeSlash, int indent);
bool write(const Value& value, std::string& out, bool quoted, bool escapeSlash, int indent);

// The JSON text: pretty = several lines indented by two spaces, else one
// line without spaces. Empty for a kind the writer does not know.
std::string toJson(const Value& value, bool escapeSlash, bool pretty);

}  // namespace Json

// Reads a JSON value into `target`. Every parse failure is swallowed and the
// target is then left unchanged, so a caller that starts from null detects a
// failure by still finding null.
std::istream& operator>>(std::istream& in, Value& target);
