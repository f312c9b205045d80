// Conformance over the JSON test suite: every y_ file parses (and survives a
// write/parse round trip), every n_ file is refused, and every i_ file has
// the outcome recorded in the expectations file ("name accept|reject").
//
//   json_conformance SUITE_DIR EXPECTATIONS [--record]
//
// The environment variable ORVAN_JSON_SUITE, when set, replaces SUITE_DIR.
// Exit 77 (reported by CTest as skipped) when the suite is not there, so a
// missing suite is never mistaken for a pass. --record prints the i_ outcomes
// in the expectations format instead of checking them.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "json/json.hpp"

namespace {

namespace fs = std::filesystem;
constexpr int kSkipped = 77;

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool load_expectations(const fs::path& path, std::map<std::string, bool>& out) {
    std::ifstream in(path);
    if (!in) {
        std::fprintf(stderr, "cannot read expectations %s\n", path.c_str());
        return false;
    }
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string name, outcome, extra;
        fields >> name >> outcome;
        if (name.empty() || (outcome != "accept" && outcome != "reject") || (fields >> extra)) {
            std::fprintf(stderr, "%s:%d: expected \"name accept|reject\"\n", path.c_str(), number);
            return false;
        }
        out[name] = outcome == "accept";
    }
    return true;
}

// An accepted text must write to text that parses back to the same value.
bool round_trips(const orvan::json::Value& value, std::string& why) {
    const std::string written = orvan::json::write_compact(value);
    auto again = orvan::json::parse(written);
    if (!again) {
        why = "written text refused: " + again.error().message();
        return false;
    }
    if (!(again.value() == value)) {
        why = "round trip changed the value: " + written;
        return false;
    }
    return true;
}

// What a run over the suite has counted so far; the i_ outcomes are checked
// against `expected` unless `record` asks for them to be printed.
struct Run {
    Run(const std::map<std::string, bool>& e, bool r) : expected(e), record(r) {}
    const std::map<std::string, bool>& expected;
    bool record;
    int failures = 0, accepted = 0, refused = 0, i_accepted = 0, i_total = 0;
    std::map<std::string, bool> seen_i;
};

// Why a y_ file failed, or "" when it passed.
std::string check_accepted(const orvan::json::ParseResult& result) {
    std::string why;
    if (!result) {
        why = "refused: " + result.error().message();
    } else {
        round_trips(result.value(), why);
    }
    return why;
}

// Why an n_ file failed, or "" when it passed.
std::string check_refused(const orvan::json::ParseResult& result) {
    return result ? "accepted as " + orvan::json::write_compact(result.value()) : "";
}

// Why an i_ file failed, or ""; with --record, prints its outcome instead.
std::string check_recorded(const std::string& name, const orvan::json::ParseResult& result,
                           Run& run) {
    const bool accepted = result.ok();
    run.i_accepted += accepted;
    run.seen_i[name] = accepted;
    std::string why;
    if (run.record) {
        std::printf("%s %s\n", name.c_str(), accepted ? "accept" : "reject");
    } else if (auto it = run.expected.find(name); it == run.expected.end()) {
        why =
            std::string("no recorded outcome (it is ") + (accepted ? "accepted" : "rejected") + ")";
    } else if (it->second != accepted) {
        why = std::string("expected ") + (it->second ? "accept" : "reject") + ", got " +
              (accepted ? "accept: " + orvan::json::write_compact(result.value())
                        : "reject: " + result.error().message());
    }
    if (why.empty() && accepted) round_trips(result.value(), why);
    return why;
}

// Checks one suite file by the letter its name starts with; other files are
// not part of the suite's naming scheme and are passed over.
void check_file(const fs::path& file, Run& run) {
    const std::string name = file.filename().string();
    const char kind = name.size() > 2 && name[1] == '_' ? name[0] : '?';
    if (kind != 'y' && kind != 'n' && kind != 'i') return;
    const auto result = orvan::json::parse(read_file(file));
    std::string why;
    if (kind == 'y') {
        ++run.accepted;
        why = check_accepted(result);
    } else if (kind == 'n') {
        ++run.refused;
        why = check_refused(result);
    } else {
        ++run.i_total;
        why = check_recorded(name, result, run);
    }
    if (!why.empty()) {
        ++run.failures;
        std::printf("FAIL %s: %s\n", name.c_str(), why.c_str());
    }
}

std::vector<fs::path> suite_files(const fs::path& suite) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(suite)) {
        if (entry.is_regular_file() && entry.path().extension() == ".json")
            files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

// The exit status: every recorded i_ file must have been seen, and an empty
// directory is a failure, not a pass.
int summarize(const Run& run, const fs::path& suite) {
    int failures = run.failures;
    for (const auto& [name, accept] : run.expected) {
        if (!run.seen_i.count(name)) {
            ++failures;
            std::printf("FAIL %s: recorded but not in the suite\n", name.c_str());
        }
    }
    std::printf("y_: %d, n_: %d, i_: %d (%d accepted, %d rejected); %d failures\n", run.accepted,
                run.refused, run.i_total, run.i_accepted, run.i_total - run.i_accepted, failures);
    if (run.accepted + run.refused + run.i_total == 0) {
        std::printf("no suite files in %s\n", suite.c_str());
        return 1;
    }
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4 || (argc == 4 && std::string(argv[3]) != "--record")) {
        std::fprintf(stderr, "usage: json_conformance SUITE_DIR EXPECTATIONS [--record]\n");
        return 2;
    }
    const char* env = std::getenv("ORVAN_JSON_SUITE");
    const fs::path suite = env && *env ? fs::path(env) : fs::path(argv[1]);
    std::error_code ec;
    if (!fs::is_directory(suite, ec)) {
        std::printf("SKIPPED: JSON test suite not found at %s (set ORVAN_JSON_SUITE)\n",
                    suite.c_str());
        return kSkipped;
    }
    std::map<std::string, bool> expected;
    Run run(expected, argc == 4);
    if (!run.record && !load_expectations(argv[2], expected)) return 1;
    for (const fs::path& file : suite_files(suite)) check_file(file, run);
    return run.record ? 0 : summarize(run, suite);
}
