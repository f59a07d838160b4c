// The JSON reader on arbitrary bytes: it may refuse them but never crash,
// the buffer and stream readers must agree, and whatever it accepts must be
// written and read back to an equal value in every layout.

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>

#include "config/Json.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

bool parseStream(const std::string& text, Value& out) {
    std::istringstream in(text);
    try {
        out = Json::parse(in);
        return true;
    } catch (const Json::ParseError&) {
        return false;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    Value parsed;
    std::size_t consumed = 0;
    bool accepted = true;
    try {
        parsed = Json::parse(text, &consumed);
    } catch (const Json::ParseError&) {
        accepted = false;
    }
    Value fromStream;
    require(parseStream(text, fromStream) == accepted);
    if (!accepted) return 0;
    require(fromStream == parsed);
    require(consumed <= size);

    // The conversions never fail.
    (void)parsed.toInt();
    (void)parsed.toUnsigned();
    (void)parsed.toDouble();
    (void)parsed.toBool();
    (void)parsed.toString();

    // Numbers are written with six significant digits, so the first writing
    // may round; from then on the value is a fixed point of write-and-read.
    const std::string written = Json::toJson(parsed, false, false);
    std::size_t writtenConsumed = 0;
    const Value normal = Json::parse(written, &writtenConsumed);
    require(writtenConsumed == written.size());
    for (bool escapeSlash : {false, true}) {
        for (bool pretty : {false, true}) {
            const std::string again = Json::toJson(normal, escapeSlash, pretty);
            std::size_t againConsumed = 0;
            require(Json::parse(again, &againConsumed) == normal);
            require(againConsumed == again.size());
            require(Json::parse(Json::toJson(parsed, escapeSlash, pretty)) == normal);
        }
    }
    require(Json::toJson(normal, false, false) ==
            Json::toJson(Json::parse(Json::toJson(normal, true, true)), false, false));
    return 0;
}
