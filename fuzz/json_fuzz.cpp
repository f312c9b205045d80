// Fuzz property for the JSON core: parse never crashes; an accepted text
// writes to compact text that parses back to an equal value and writes again
// to the very same bytes; a rejected text names a byte inside the input with
// a line and column that agree with its offset. Any violation aborts.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json/json.hpp"

namespace {

[[noreturn]] void violated(const char* what, std::string_view detail) {
    std::fprintf(stderr, "json fuzz property violated: %s: %.*s\n", what,
                 static_cast<int>(detail.size()), detail.data());
    std::abort();
}

void check_error_position(std::string_view text, const orvan::json::ParseError& e) {
    if (e.reason.empty()) violated("empty reason", e.message());
    if (text.empty()) {
        if (e.column != 0 || e.line != 1) violated("position for empty text", e.message());
        return;
    }
    if (e.offset >= text.size()) violated("offset past the end", e.message());
    std::size_t line = 1, column = 1;
    for (std::size_t i = 0; i < e.offset; ++i) {
        if (text[i] == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    if (e.line != line || e.column != column)
        violated("line/column disagree with offset", e.message());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto first = orvan::json::parse(text);
    if (!first) {
        check_error_position(text, first.error());
        return 0;
    }
    const std::string written = orvan::json::write_compact(first.value());
    auto second = orvan::json::parse(written);
    if (!second) violated("written text rejected", second.error().message() + " in " + written);
    if (!(second.value() == first.value())) violated("value changed by a round trip", written);
    const std::string rewritten = orvan::json::write_compact(second.value());
    if (rewritten != written) violated("second write differs", rewritten);
    return 0;
}
