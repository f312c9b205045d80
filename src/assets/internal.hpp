// Helpers shared by the files of the asset subsystem; not used elsewhere.
#pragma once

#include <cstddef>
#include <vector>

#include "assets/assets.hpp"
#include "assets/records.hpp"
#include "lib/lib.hpp"

namespace orvan::assets {

// The wrapper's record: a private copy of the configuration and one strong
// reference to the decorated object.
struct WrapperRecord {
    AssetConfig config;
    lib::Ref original;
};

// The configuration asset(...) captures, from its bound arguments (NULL when
// not given). Checks run in the order name, serializer, inputs, partitions.
AssetConfig read_config(PyObject* name, PyObject* inputs, PyObject* partitions,
                        PyObject* serializer);

// A new AssetWrapper owning a copy of `config` and a reference to `original`.
lib::Ref new_wrapper(const AssetConfig& config, PyObject* original);

// The keys held by a Partitions marker, or nullptr when `obj` is not one.
const std::vector<json::Value>* marker_values(PyObject* obj);

// The asset metadata dictionary of a wrapper, built afresh.
lib::Ref asset_metadata(const AssetConfig& config);

// tp_new of both classes: instances come only from the module's functions.
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Set-once storage for a class made from `spec`: the first class stored wins.
PyTypeObject* class_from_spec(PyObject*& cell, PyType_Spec& spec);

// The PyType_Spec of both classes. No module is named, so a class reports
// "builtins". Not subclassable, no __dict__, no weak references, not tracked
// by the cyclic collector, and immutable, as CPython's own heap types are: a
// class attribute set from Python would change what every instance reports.
constexpr PyType_Spec sealed_spec(const char* name, std::size_t basicsize, PyType_Slot* slots) {
    return {.name = name,
            .basicsize = static_cast<int>(basicsize),
            .itemsize = 0,
            .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
            .slots = slots};
}

}  // namespace orvan::assets
