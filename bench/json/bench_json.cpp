// json-bench [--json] [CORPUS_DIR]
//
// Throughput of parse (text to tree) and compact write (tree to text) for the
// JSON core and for RapidJSON's DOM (Document::Parse with default flags,
// Writer<StringBuffer>), on canada, citm_catalog and twitter. Each figure is
// the median over at least 15 runs, timed on the thread's CPU clock, with the
// two libraries' runs interleaved; MB/s counts the input file's bytes for
// both operations. Freeing a parsed tree is outside the timed region (for
// both libraries); every write starts from an empty output buffer.
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "json/json.hpp"

namespace {

constexpr int kMinRuns = 15;
constexpr double kMinSeconds = 0.4;  // per library and figure, so small files get many runs

struct Figure {
    std::string name;
    double ours;
    double baseline;
};

// Time on this thread's CPU clock: other processes sharing the machine
// stretch wall time but not this.
double now() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double median_mbps(std::vector<double>& seconds, std::size_t bytes) {
    std::sort(seconds.begin(), seconds.end());
    return static_cast<double>(bytes) / seconds[seconds.size() / 2] / 1e6;
}

// Alternates runs of `ours` and `theirs` (each returns the seconds of its
// timed part) until both minimums are met, so both see the same conditions;
// returns the medians in MB/s.
template <class Ours, class Theirs>
Figure compare(std::string name, std::size_t bytes, Ours ours, Theirs theirs) {
    std::vector<double> a, b;
    double total_a = 0, total_b = 0;
    while (static_cast<int>(a.size()) < kMinRuns || total_a < kMinSeconds ||
           total_b < kMinSeconds) {
        a.push_back(ours());
        total_a += a.back();
        b.push_back(theirs());
        total_b += b.back();
    }
    return {std::move(name), median_mbps(a, bytes), median_mbps(b, bytes)};
}

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "json-bench: %s\n", what.c_str());
    std::exit(2);
}

void bench_file(const std::string& dir, const std::string& corpus, std::vector<Figure>& figures) {
    const std::string path = dir + "/" + corpus + ".json";
    std::ifstream in(path, std::ios::binary);
    if (!in) die("cannot read " + path);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    auto ours_tree = orvan::json::parse(text);
    if (!ours_tree) die(path + ": " + ours_tree.error().message());
    rapidjson::Document rj_tree;
    rj_tree.Parse(text.data(), text.size());
    if (rj_tree.HasParseError()) die(path + ": RapidJSON refused it");

    figures.push_back(compare(
        "parse " + corpus, text.size(),
        [&] {
            const double start = now();
            auto result = orvan::json::parse(text);
            const double s = now() - start;
            if (!result) die("parse failed");
            return s;  // the tree is freed here, untimed
        },
        [&] {
            const double start = now();
            auto doc = std::make_unique<rapidjson::Document>();
            doc->Parse(text.data(), text.size());
            const double s = now() - start;
            if (doc->HasParseError()) die("RapidJSON parse failed");
            return s;
        }));

    figures.push_back(compare(
        "write " + corpus, text.size(),
        [&] {
            const double start = now();
            std::string out;
            orvan::json::write_compact(ours_tree.value(), out);
            const double s = now() - start;
            if (out.empty()) die("empty output");
            return s;
        },
        [&] {
            const double start = now();
            rapidjson::StringBuffer buffer;
            rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
            rj_tree.Accept(writer);
            const double s = now() - start;
            if (buffer.GetSize() == 0) die("empty RapidJSON output");
            return s;
        }));
}

}  // namespace

int main(int argc, char** argv) {
    bool as_json = false;
    std::string dir = ORVAN_JSON_CORPUS;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0) {
            as_json = true;
        } else if (argv[i][0] == '-') {
            std::fprintf(stderr, "usage: json-bench [--json] [CORPUS_DIR]\n");
            return 2;
        } else {
            dir = argv[i];
        }
    }
    std::vector<Figure> figures;
    for (const char* corpus : {"canada", "citm_catalog", "twitter"})
        bench_file(dir, corpus, figures);

    if (as_json) {
        std::printf("[\n");
        for (std::size_t i = 0; i < figures.size(); ++i) {
            const Figure& f = figures[i];
            std::printf(
                "  {\"name\": \"json %s\", \"ours\": %.1f, \"baseline\": %.1f, \"unit\": \"MB/s\", "
                "\"ratio\": %.3f, \"goal\": \">=1.0\"}%s\n",
                f.name.c_str(), f.ours, f.baseline, f.ours / f.baseline,
                i + 1 < figures.size() ? "," : "");
        }
        std::printf("]\n");
        return 0;
    }
    std::printf("%-14s %-6s %12s %16s %8s\n", "corpus", "op", "ours MB/s", "rapidjson MB/s",
                "ratio");
    for (const Figure& f : figures) {
        const std::size_t space = f.name.find(' ');
        std::printf("%-14s %-6s %12.1f %16.1f %8.2f\n", f.name.substr(space + 1).c_str(),
                    f.name.substr(0, space).c_str(), f.ours, f.baseline, f.ours / f.baseline);
    }
    return 0;
}
