// The asset metadata: the dictionary __orvan_metadata__ returns, built afresh
// on every read so that readers can never change a wrapper.
#include <string>

#include "assets/internal.hpp"

namespace orvan::assets {
namespace {

using lib::Ref;
using lib::require;

Ref optional_text(const std::optional<std::string>& text) {
    return text ? lib::new_string(*text) : Ref::borrow(Py_None);
}

void set_item(PyObject* dict, const char* key, const Ref& value) {
    require(PyDict_SetItemString(dict, key, value.get()));
}

void set_item(PyObject* dict, const std::string& key, const Ref& value) {
    Ref name = lib::new_string(key);
    require(PyDict_SetItem(dict, name.get(), value.get()));
}

// The keys as one compact JSON array, written element by element so that
// no copy of the values is made on every read.
std::string values_json(const PartitionSpec& spec) {
    std::string text = "[";
    for (std::size_t i = 0; i < spec.values.size(); ++i) {
        if (i > 0) text += ',';
        json::write_compact(spec.values[i], text);
    }
    text += ']';
    return text;
}

Ref inputs_dict(const InputMap& inputs) {
    Ref dict = require(PyDict_New());
    for (const auto& [parameter, reference] : inputs) {
        set_item(dict.get(), parameter, lib::new_string(reference));
    }
    return dict;
}

Ref partitions_dict(const PartitionMap& partitions) {
    Ref dict = require(PyDict_New());
    for (const auto& [dimension, spec] : partitions) {
        Ref entry = require(PyDict_New());
        set_item(entry.get(), "kind", lib::new_string("inline"));
        set_item(entry.get(), "values_json", lib::new_string(values_json(spec)));
        set_item(dict.get(), dimension, entry);
    }
    return dict;
}

}  // namespace

Ref asset_metadata(const AssetConfig& config) {
    Ref metadata = require(PyDict_New());
    set_item(metadata.get(), "kind", lib::new_string("asset"));
    set_item(metadata.get(), "name", optional_text(config.name));
    set_item(metadata.get(), "serializer", optional_text(config.serializer));
    set_item(metadata.get(), "inputs",
             config.inputs ? inputs_dict(*config.inputs) : Ref::borrow(Py_None));
    set_item(metadata.get(), "partitions",
             config.partitions ? partitions_dict(*config.partitions) : Ref::borrow(Py_None));
    return metadata;
}

}  // namespace orvan::assets
