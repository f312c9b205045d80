// The asset attribute protocol as every subsystem reads it, and the source
// paths that asset references and inspection records both report.
#include "lib/lib.hpp"

namespace orvan::lib {

bool declares_asset(PyObject* obj) {
    Ref kind = getattr_or_discard(obj, "__orvan_kind__");
    // A str holding lone surrogates compares unequal here without raising,
    // which is what skipping it on a failed conversion amounts to.
    return kind && PyUnicode_Check(kind.get()) && PyUnicode_EqualToUTF8(kind.get(), "asset") == 1;
}

Ref original_of(PyObject* obj) {
    Ref original = getattr_or_discard(obj, "__orvan_original__");
    return original ? original : Ref::borrow(obj);
}

Ref new_path(PyObject* pathlib, PyObject* arg) {
    return call_method(pathlib, "Path", arg);
}

std::string resolved_path(PyObject* pathlib, PyObject* file) {
    Ref path = new_path(pathlib, file);
    Ref resolved = call_method(path.get(), "resolve");
    Ref text = require(PyObject_Str(resolved.get()));
    return std::string(utf8(text.get()));
}

}  // namespace orvan::lib
