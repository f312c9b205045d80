// What the two classes share: creation from a PyType_Spec into a
// set-once cell, and the refusal to be called.
#include "assets/internal.hpp"

namespace orvan::assets {

using lib::Ref;

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    return lib::guard("tp_new", [&]() -> Ref {
        Ref name = lib::require(PyType_GetName(type));
        PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
        throw lib::ErrorAlreadySet{};
    });
}

PyTypeObject* class_from_spec(PyObject*& cell, PyType_Spec& spec) {
    if (cell == nullptr) {
        Ref cls = lib::require(PyType_FromSpec(&spec));
        // Creating a class can run Python code; if a class was stored
        // meanwhile, that one stays and ours is released.
        if (cell == nullptr) cell = cls.release();
    }
    return reinterpret_cast<PyTypeObject*>(cell);
}

}  // namespace orvan::assets
