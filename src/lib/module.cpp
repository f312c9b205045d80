// PyInit__orvan: creates the module once per process and registers its
// classes and functions, in a fixed order that also fixes __all__.
#include <atomic>
#include <cstdint>

#include "assets/assets.hpp"
#include "inspect/inspect.hpp"
#include "lib/lib.hpp"
#include "materialize/materialize.hpp"

namespace orvan::lib {
namespace {

struct ClassEntry {
    const char* name;
    PyTypeObject* (*get)();  // creates the class on first need; throws on failure
};

// Registration order is public: it is the order of __all__.
constexpr ClassEntry kClasses[] = {
    {"AssetWrapper", assets::wrapper_type},
    {"Partitions", assets::partitions_type},
};
PyMethodDef* const kFunctions[] = {
    &assets::asset_def,
    &assets::partitions_def,
    &inspect::inspect_modules_def,
    &materialize::materialize_asset_def,
};

PyModuleDef g_module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_orvan",
    .m_doc = "The native `_orvan` module.",
    .m_size = 0,           // no per-module state
    .m_methods = nullptr,  // the functions are added one by one, in order
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

// The module supports one interpreter per process; the first one to try wins.
std::atomic<std::int64_t> g_interpreter{-1};
PyObject* g_module = nullptr;  // set once, never freed

void add_name(PyObject* module, PyObject* name, PyObject* value) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();
        all = require(PyList_New(0));
        require(PyObject_SetAttrString(module, "__all__", all.get()));
    } else if (!PyList_Check(all.get())) {
        raise_cannot_convert(all.get(), "PyList");
    }
    require(PyList_Append(all.get(), name));
    require(PyObject_SetAttr(module, name, value));
}

void register_class(PyObject* module, const ClassEntry& entry) {
    PyTypeObject* cls = nullptr;
    try {
        cls = entry.get();
    } catch (const ErrorAlreadySet&) {
        Ref cause = Ref::steal(PyErr_GetRaisedException());
        PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s",
                     entry.name);
        Ref error = Ref::steal(PyErr_GetRaisedException());
        PyException_SetCause(error.get(), cause.release());
        PyErr_SetRaisedException(error.release());
        throw;
    }
    Ref name = require(PyUnicode_FromString(entry.name));
    add_name(module, name.get(), reinterpret_cast<PyObject*>(cls));
}

void register_function(PyObject* module, PyMethodDef* def) {
    Ref module_name = require(PyModule_GetNameObject(module));
    Ref function = require(PyCMethod_New(def, module, module_name.get(), nullptr));
    Ref name = getattr(function.get(), "__name__");
    if (!PyUnicode_Check(name.get())) raise_cannot_convert(name.get(), "PyString");
    add_name(module, name.get(), function.get());
}

Ref create_module() {
    Ref module = require(PyModule_Create2(&g_module_def, PYTHON_API_VERSION));
    require(panic_class() ? 0 : -1);
    for (const ClassEntry& entry : kClasses) register_class(module.get(), entry);
    for (PyMethodDef* def : kFunctions) register_function(module.get(), def);
    return module;
}

Ref init_module() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) throw_error();
    std::int64_t expected = -1;
    if (!g_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        raise(PyExc_ImportError,
              "orvan._orvan does not support sub-interpreters: it can be imported in one "
              "interpreter per process only (see the \"Limitations\" section of orvan's README)");
    }
    if (g_module == nullptr) {
        Ref module = create_module();
        if (g_module == nullptr) g_module = module.release();
    }
    return Ref::borrow(g_module);
}

}  // namespace
}  // namespace orvan::lib

PyMODINIT_FUNC PyInit__orvan() {
    return orvan::lib::guard("module initialisation", orvan::lib::init_module);
}
