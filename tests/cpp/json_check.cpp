// json-check FILE: parses FILE and prints its compact text.
//   exit 0: the compact text and a newline on standard output
//   exit 1: "error: {reason} at line {line} column {column}" on standard error
//   exit 2: wrong usage or an unreadable file
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "json/json.hpp"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: json-check FILE\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::string text;
    if (in) text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!in && !in.eof()) {
        std::fprintf(stderr, "json-check: cannot read %s: %s\n", argv[1], std::strerror(errno));
        return 2;
    }
    auto result = orvan::json::parse(text);
    if (!result) {
        std::fprintf(stderr, "error: %s\n", result.error().message().c_str());
        return 1;
    }
    std::string out = orvan::json::write_compact(result.value());
    out.push_back('\n');
    std::fwrite(out.data(), 1, out.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 2;
}
