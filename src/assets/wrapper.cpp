// The AssetWrapper class: what @asset(...) puts in place of a function. It
// keeps the original and the declaration and answers the asset attribute
// protocol (__orvan_kind__, __orvan_metadata__, __orvan_original__).
#include <memory>

#include "assets/internal.hpp"

namespace orvan::assets {
namespace {

using lib::Ref;
using lib::require;

struct WrapperObject {
    PyObject_HEAD
    WrapperRecord* record;  // owned; NULL only before filling
};

const WrapperRecord& record_of(PyObject* self) {
    return *reinterpret_cast<WrapperObject*>(self)->record;
}

// Originals whose release was put off while a wrapper was being freed. A
// wrapper of a wrapper of ... would otherwise free itself by recursion, one C
// stack frame per level, and a long enough chain overflows the stack. The
// class is not tracked by the collector, so the interpreter's own guard
// against deep deallocation (the trashcan) does not apply.
thread_local bool t_releasing = false;
thread_local std::vector<PyObject*> t_deferred;

void release_original(PyObject* original) noexcept {
    if (t_releasing) {
        try {
            t_deferred.push_back(original);
            return;
        } catch (...) {
            // No memory to defer: release it now, as any object would.
        }
        Py_DECREF(original);
        return;
    }
    t_releasing = true;
    Py_DECREF(original);
    while (!t_deferred.empty()) {
        PyObject* next = t_deferred.back();
        t_deferred.pop_back();
        Py_DECREF(next);
    }
    t_releasing = false;
}

void wrapper_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    // Releasing the original may run its finalizers; the record is gone from
    // the object before that happens.
    std::unique_ptr<WrapperRecord> record(
        std::exchange(reinterpret_cast<WrapperObject*>(self)->record, nullptr));
    PyObject* original = record ? record->original.release() : nullptr;
    record.reset();
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their class
    if (original != nullptr) release_original(original);
}

// Calls the original with the same arguments; a keyword dictionary is passed
// only when there are keyword arguments, and then as a private copy.
PyObject* wrapper_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return lib::guard("AssetWrapper.__call__", [&] {
        Ref keywords;
        if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
            keywords = require(PyDict_Copy(kwargs));
        }
        return require(PyObject_Call(record_of(self).original.get(), args, keywords.get()));
    });
}

// Never binds: read through an instance or a class, the wrapper is itself.
PyObject* wrapper_get(PyObject* self, PyObject*, PyObject*) {
    return lib::guard("AssetWrapper.__get__", [&] { return Ref::borrow(self); });
}

PyObject* get_metadata(PyObject* self, void*) {
    return lib::guard("AssetWrapper.__orvan_metadata__",
                      [&] { return asset_metadata(record_of(self).config); });
}

PyObject* get_kind(PyObject*, void*) {
    return lib::guard("AssetWrapper.__orvan_kind__",
                      [] { return require(PyUnicode_FromString("asset")); });
}

// __orvan_original__ and __wrapped__: the decorated object itself.
PyObject* get_original(PyObject* self, void*) {
    return lib::guard("AssetWrapper.__orvan_original__", [&] { return record_of(self).original; });
}

// __name__, __module__, __qualname__: read from the original at each access;
// `name` is the attribute name, passed as the getter's closure.
PyObject* forward(PyObject* self, void* name) {
    return lib::guard("AssetWrapper attribute", [&] {
        return lib::getattr(record_of(self).original.get(), static_cast<const char*>(name));
    });
}

void* closure(const char* name) {
    return const_cast<char*>(name);
}

PyGetSetDef kGetters[] = {
    {"__orvan_metadata__", get_metadata, nullptr, "", nullptr},
    {"__orvan_kind__", get_kind, nullptr, "", nullptr},
    {"__orvan_original__", get_original, nullptr, "", nullptr},
    {"__name__", forward, nullptr, "", closure("__name__")},
    {"__module__", forward, nullptr, "", closure("__module__")},
    {"__qualname__", forward, nullptr, "", closure("__qualname__")},
    {"__wrapped__", get_original, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kWrapperSlots[] = {
    {.slot = Py_tp_doc,
     .pfunc = const_cast<char*>(
         "The `@asset()` decorator wrapper. Stores the original function and metadata.")},
    {.slot = Py_tp_new, .pfunc = reinterpret_cast<void*>(no_constructor)},
    {.slot = Py_tp_dealloc, .pfunc = reinterpret_cast<void*>(wrapper_dealloc)},
    {.slot = Py_tp_call, .pfunc = reinterpret_cast<void*>(wrapper_call)},
    {.slot = Py_tp_descr_get, .pfunc = reinterpret_cast<void*>(wrapper_get)},
    {.slot = Py_tp_getset, .pfunc = kGetters},
    {.slot = 0, .pfunc = nullptr},
};

// The class's full name is builtins.AssetWrapper; the __module__ getter keeps
// its place in the class dictionary.
PyType_Spec kWrapperSpec =
    sealed_spec("builtins.AssetWrapper", sizeof(WrapperObject), kWrapperSlots);
PyObject* g_wrapper_class = nullptr;  // set once, never freed

}  // namespace

PyTypeObject* wrapper_type() {
    return class_from_spec(g_wrapper_class, kWrapperSpec);
}

Ref new_wrapper(const AssetConfig& config, PyObject* original) {
    auto record = std::make_unique<WrapperRecord>(WrapperRecord{config, Ref::borrow(original)});
    PyTypeObject* type = wrapper_type();
    Ref self = require(type->tp_alloc(type, 0));
    reinterpret_cast<WrapperObject*>(self.get())->record = record.release();
    return self;
}

}  // namespace orvan::assets
