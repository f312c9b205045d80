// partitions(values) and the Partitions marker: static partition keys held as
// JSON values, obtained through json.dumps and our own parser.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "assets/internal.hpp"
#include "lib/pyjson.hpp"

namespace orvan::assets {
namespace {

using lib::Ref;
using lib::require;

struct MarkerObject {
    PyObject_HEAD
    std::vector<json::Value>* values;  // owned; NULL only before filling
};

MarkerObject* as_marker(PyObject* self) {
    return reinterpret_cast<MarkerObject*>(self);
}

void marker_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete as_marker(self)->values;
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their class
}

PyObject* marker_repr(PyObject* self) {
    return lib::guard("Partitions.__repr__", [&] {
        const auto count = static_cast<Py_ssize_t>(as_marker(self)->values->size());
        return require(PyUnicode_FromFormat("Partitions(%zd values)", count));
    });
}

PyType_Slot kMarkerSlots[] = {
    {.slot = Py_tp_doc,
     .pfunc = const_cast<char*>(
         "Marker type returned by `partitions([...])`. Stores the static values.")},
    {.slot = Py_tp_new, .pfunc = reinterpret_cast<void*>(no_constructor)},
    {.slot = Py_tp_dealloc, .pfunc = reinterpret_cast<void*>(marker_dealloc)},
    {.slot = Py_tp_repr, .pfunc = reinterpret_cast<void*>(marker_repr)},
    {.slot = 0, .pfunc = nullptr},
};

// Immutable, so that no one can replace __repr__ for every marker.
PyType_Spec kMarkerSpec = sealed_spec("builtins.Partitions", sizeof(MarkerObject), kMarkerSlots);
PyObject* g_marker_class = nullptr;  // set once, never freed

// Reads the items from the list's own storage, by index, so that a subclass's
// iteration is bypassed; json.dumps runs Python code, which may shrink the
// list, hence the bound is re-checked on every step.
std::vector<json::Value> parse_items(PyObject* list) {
    Ref json_module = lib::import("json");
    // json.dumps is still looked up on the module for every item; only the
    // name object is made once.
    const Ref dumps = lib::intern("dumps");
    const Py_ssize_t initial = PyList_GET_SIZE(list);
    std::vector<json::Value> values;
    for (Py_ssize_t i = 0; i < std::min(initial, PyList_GET_SIZE(list)); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
        Ref text = lib::call_method(json_module.get(), dumps, item.get());
        json::ParseResult parsed = lib::parse_dumped(text.get());
        if (!parsed) {
            lib::raise(PyExc_ValueError, "invalid partition value: " + parsed.error().message());
        }
        values.push_back(std::move(parsed).value());
    }
    return values;
}

Ref new_marker(std::vector<json::Value> values) {
    auto owned = std::make_unique<std::vector<json::Value>>(std::move(values));
    PyTypeObject* type = partitions_type();
    Ref self = require(type->tp_alloc(type, 0));
    as_marker(self.get())->values = owned.release();
    return self;
}

const char* const kParameters[] = {"values"};
constexpr lib::Signature kSignature = {"partitions", kParameters, 1, 1, nullptr, 0};

Ref py_partitions(PyObject* const* bound) {
    PyObject* values = bound[0];
    if (!PyList_Check(values)) {
        lib::convert_argument("values", [&] { lib::raise_cannot_convert(values, "PyList"); });
    }
    return new_marker(parse_items(values));
}

}  // namespace

PyTypeObject* partitions_type() {
    return class_from_spec(g_marker_class, kMarkerSpec);
}

const std::vector<json::Value>* marker_values(PyObject* obj) {
    if (!PyObject_TypeCheck(obj, partitions_type())) return nullptr;
    return as_marker(obj)->values;
}

PyMethodDef partitions_def = lib::make_def<kSignature, py_partitions>(
    "partitions(values)\n--\n\n"
    "Declare a static partition universe for use with ``@asset(partitions=...)``.\n"
    "\n"
    "Example::\n"
    "\n"
    "    from orvan import asset, partitions\n"
    "\n"
    "    @asset(partitions={\"ticker\": partitions([\"AAPL\", \"MSFT\", \"GOOG\"])})\n"
    "    def prices(ticker: str): ...");

}  // namespace orvan::assets
