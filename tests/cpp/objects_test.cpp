// Object members at scale: many records of one or a few shapes (the same
// keys in the same order), near-misses of a shape, duplicate keys and large
// objects, checked against a plain model of "set each member in turn".
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "json/json.hpp"

namespace {

using orvan::json::parse;
using orvan::json::write_compact;

using Record = std::vector<std::pair<std::string, int>>;  // members in text order

std::string text_of(const std::vector<Record>& records) {
    std::string text = "[";
    for (const Record& r : records) {
        if (text.size() > 1) text += ',';
        text += '{';
        for (std::size_t i = 0; i < r.size(); ++i) {
            if (i) text += ',';
            text += '"' + r[i].first + "\":" + std::to_string(r[i].second);
        }
        text += '}';
    }
    return text + "]";
}

// The model: std::map orders keys by bytes (char_traits compares as unsigned
// char) and assignment keeps the last value.
std::string expected_of(const std::vector<Record>& records) {
    std::string text = "[";
    for (const Record& r : records) {
        std::map<std::string, int> model;
        for (const auto& [key, value] : r) model[key] = value;
        if (text.size() > 1) text += ',';
        text += '{';
        bool first = true;
        for (const auto& [key, value] : model) {
            if (!first) text += ',';
            first = false;
            text += '"' + key + "\":" + std::to_string(value);
        }
        text += '}';
    }
    return text + "]";
}

void expect_model(const std::vector<Record>& records) {
    const std::string text = text_of(records);
    auto result = parse(text);
    ASSERT_TRUE(result) << result.error().message();
    EXPECT_EQ(write_compact(result.value()), expected_of(records));
}

std::vector<std::string> key_pool() {
    // Shared prefixes longer than eight bytes, a non-ASCII key, a prefix of
    // another key, and the empty key.
    return {"id",
            "name",
            "profile_background_color",
            "profile_background_image_url",
            "profile_link_color",
            "zeta",
            "alpha",
            "\xc3\xa9t\xc3\xa9",
            "a",
            "ab",
            "",
            "Beta",
            "screen_name",
            "url",
            "utc_offset",
            "followers_count"};
}

TEST(ObjectShapes, RepeatedRecordsOfOneShape) {
    std::vector<std::string> keys = key_pool();
    std::mt19937 rng(1);
    std::shuffle(keys.begin(), keys.end(), rng);
    std::vector<Record> records;
    for (int i = 0; i < 50; ++i) {
        Record r;
        for (std::size_t k = 0; k < keys.size(); ++k)
            r.emplace_back(keys[k], i * 100 + static_cast<int>(k));
        records.push_back(r);
    }
    expect_model(records);
}

TEST(ObjectShapes, NearMissesOfAShapeAreSortedAfresh) {
    const std::vector<std::string> keys = {"d", "b", "e", "a", "c", "f"};
    auto base = [&](int v) {
        Record r;
        for (std::size_t k = 0; k < keys.size(); ++k)
            r.emplace_back(keys[k], v + static_cast<int>(k));
        return r;
    };
    std::vector<Record> records;
    for (int i = 0; i < 4; ++i) records.push_back(base(i * 10));
    Record swapped = base(100);
    std::swap(swapped[1], swapped[4]);  // same keys, other order
    records.push_back(swapped);
    Record changed = base(200);
    changed[2].first = "E";  // one key differs by a byte
    records.push_back(changed);
    Record longer = base(300);
    longer[5].first = "ff";  // one key differs in length
    records.push_back(longer);
    Record duplicate = base(400);
    duplicate[3].first = "d";  // same count, but a duplicate key
    records.push_back(duplicate);
    records.push_back(base(500));  // and the shape again
    Record fewer = base(600);
    fewer.pop_back();
    records.push_back(fewer);
    expect_model(records);
}

TEST(ObjectShapes, RandomMixOfShapesAndMutations) {
    const std::vector<std::string> pool = key_pool();
    std::mt19937 rng(7);
    for (int round = 0; round < 40; ++round) {
        // A handful of shapes, of sizes across the cached range and past it.
        std::vector<std::vector<std::string>> shapes;
        for (int s = 0; s < 5; ++s) {
            const std::size_t n = 1 + rng() % 80;
            std::vector<std::string> keys;
            for (std::size_t k = 0; k < n; ++k) {
                std::string key = pool[rng() % pool.size()];
                if (rng() % 2) key += std::to_string(rng() % 50);
                keys.push_back(key);
            }
            shapes.push_back(keys);
        }
        std::vector<Record> records;
        for (int i = 0; i < 60; ++i) {
            const auto& keys = shapes[rng() % shapes.size()];
            Record r;
            for (std::size_t k = 0; k < keys.size(); ++k)
                r.emplace_back(keys[k], i * 1000 + static_cast<int>(k));
            if (!r.empty() && rng() % 4 == 0) {
                switch (rng() % 3) {
                    case 0:
                        std::swap(r[rng() % r.size()], r[rng() % r.size()]);
                        break;
                    case 1:
                        r[rng() % r.size()].first += "x";
                        break;
                    default:
                        r[rng() % r.size()].first = r[rng() % r.size()].first;
                        break;
                }
            }
            records.push_back(r);
        }
        SCOPED_TRACE("round " + std::to_string(round));
        expect_model(records);
        if (::testing::Test::HasFailure()) return;
    }
}

TEST(ObjectShapes, LargeObjectsInAnyOrder) {
    std::mt19937 rng(3);
    for (std::size_t n : {17u, 33u, 100u, 1000u, 5000u}) {
        Record r;
        for (std::size_t i = 0; i < n; ++i)
            r.emplace_back("k" + std::to_string(rng() % (n / 2 + 1)), static_cast<int>(i));
        SCOPED_TRACE(n);
        expect_model({r});
        std::reverse(r.begin(), r.end());
        expect_model({r});
        std::sort(r.begin(), r.end());
        expect_model({r});
    }
}

}  // namespace
