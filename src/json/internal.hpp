// Shared by the JSON core's own files only.
#pragma once

#include <vector>

#include "json/json.hpp"

namespace orvan::json {

// A string's bytes live right behind their length: one allocation per string.
struct Value::StringRep {
    std::size_t size;
    char* data() noexcept { return reinterpret_cast<char*>(this + 1); }
    const char* data() const noexcept { return reinterpret_cast<const char*>(this + 1); }
    static StringRep* make(std::string_view text);
    static void free(StringRep* rep) noexcept;
};

class Builder {
public:
    static Value array(std::vector<Value>&& elements);
    static Value object(std::vector<Member>&& sorted_members);
};

}  // namespace orvan::json
