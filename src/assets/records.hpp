// The records of an asset declaration, held as C++ data: a decorator owns one
// AssetConfig, every wrapper owns its own copy, and nothing is shared.
#pragma once

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "json/json.hpp"

namespace orvan::assets {

// The partition keys of one dimension. Every dimension is of the kind
// "inline", so no kind is stored.
struct PartitionSpec {
    std::vector<json::Value> values;
};

// Parameter name to asset reference ("{resolved path}:{function name}" or the
// text the author gave). Hash maps: their visiting order is unspecified.
using InputMap = std::unordered_map<std::string, std::string>;
// Dimension name to its partition keys.
using PartitionMap = std::unordered_map<std::string, PartitionSpec>;

// What asset(...) captured. An absent field means "not given or None"; an
// empty map means an explicitly empty dictionary.
struct AssetConfig {
    std::optional<std::string> name;
    std::optional<std::string> serializer;
    std::optional<InputMap> inputs;
    std::optional<PartitionMap> partitions;
};

}  // namespace orvan::assets
