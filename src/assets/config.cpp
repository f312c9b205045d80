// Reading the arguments of asset(...) into an AssetConfig: texts, upstream
// inputs turned into asset references, markers turned into PartitionSpecs.
#include <string>

#include "assets/internal.hpp"

namespace orvan::assets {
namespace {

using lib::Ref;
using lib::require;

// Visits the entries of `dict` from its own storage (PyDict_Next), so that a
// subclass's iteration is not used. Visitors run Python code (attribute
// lookups, inspect, pathlib) which may change the dictionary under the walk;
// that is an internal fault, not something to paper over.
template <class F>
void walk_dict(PyObject* dict, F&& visit) {
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    Py_ssize_t remaining = size;
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    for (;;) {
        if (PyDict_GET_SIZE(dict) != size) {
            throw lib::InternalFault("dictionary changed size during iteration");
        }
        // Same size but more entries than it had: keys were swapped meanwhile.
        if (remaining == -1) throw lib::InternalFault("dictionary keys changed during iteration");
        if (!PyDict_Next(dict, &pos, &key, &value)) return;
        --remaining;
        Ref held_key = Ref::borrow(key);  // the visitor may drop the dict's references
        Ref held_value = Ref::borrow(value);
        visit(held_key.get(), held_value.get());
    }
}

PyObject* require_dict(PyObject* obj) {
    if (!PyDict_Check(obj)) lib::raise_cannot_convert(obj, "PyDict");
    return obj;
}

std::optional<std::string> optional_text(const char* parameter, PyObject* value) {
    if (value == nullptr || value == Py_None) return std::nullopt;
    return lib::convert_argument(parameter, [&] { return std::string(lib::text_of(value)); });
}

// "{resolved source path}:{__name__}" of a decorated function; the upstream
// asset's own display name plays no part.
std::string reference_of_asset(PyObject* asset) {
    Ref function = lib::original_of(asset);
    Ref inspect = lib::import("inspect");
    Ref pathlib = lib::import("pathlib");
    Ref file = lib::call_method(inspect.get(), "getsourcefile", function.get());
    std::string reference = lib::resolved_path(pathlib.get(), file.get());
    Ref name = lib::getattr(function.get(), "__name__");
    reference += ':';
    reference += lib::text_of(name.get());
    return reference;
}

std::string asset_reference(PyObject* value) {
    if (lib::declares_asset(value)) return reference_of_asset(value);
    if (PyUnicode_Check(value)) return std::string(lib::utf8(value));
    lib::raise(PyExc_TypeError,
               "inputs values must be @asset-decorated functions or asset ref strings");
}

InputMap read_inputs(PyObject* inputs) {
    InputMap map;
    walk_dict(require_dict(inputs), [&](PyObject* key, PyObject* value) {
        std::string parameter(lib::text_of(key));
        map.insert_or_assign(std::move(parameter), asset_reference(value));
    });
    return map;
}

PartitionMap read_partitions(PyObject* partitions) {
    PartitionMap map;
    walk_dict(require_dict(partitions), [&](PyObject* key, PyObject* value) {
        std::string dimension(lib::text_of(key));
        const auto* values = marker_values(value);
        if (values == nullptr) {
            lib::raise(PyExc_TypeError, "partition values must be partitions([...]) instances");
        }
        map.insert_or_assign(std::move(dimension), PartitionSpec{*values});
    });
    return map;
}

bool given(PyObject* value) {
    return value != nullptr && value != Py_None;
}

}  // namespace

AssetConfig read_config(PyObject* name, PyObject* inputs, PyObject* partitions,
                        PyObject* serializer) {
    AssetConfig config;
    config.name = optional_text("name", name);
    config.serializer = optional_text("serializer", serializer);
    if (given(inputs)) config.inputs = read_inputs(inputs);
    if (given(partitions)) config.partitions = read_partitions(partitions);
    return config;
}

}  // namespace orvan::assets
