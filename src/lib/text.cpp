// Text conversion between Python strings and UTF-8, and the small call helpers.
#include "lib/lib.hpp"

namespace orvan::lib {

std::string_view utf8(PyObject* str) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (data == nullptr) throw_error();
    return {data, static_cast<std::size_t>(size)};
}

std::string_view text_of(PyObject* obj) {
    if (!PyUnicode_Check(obj)) raise_cannot_convert(obj, "PyString");
    return utf8(obj);
}

std::string lenient_utf8(PyObject* str) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(str, &size)) {
        return {data, static_cast<std::size_t>(size)};
    }
    discard_error();
    // Lone surrogates: encode them as they are, then let the decoder replace
    // every ill-formed byte with U+FFFD.
    Ref raw = require(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    Ref fixed = require(
        PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw.get()), PyBytes_GET_SIZE(raw.get()), "replace"));
    return std::string(utf8(fixed.get()));
}

Ref new_string(std::string_view utf8_text) {
    return require(
        PyUnicode_FromStringAndSize(utf8_text.data(), static_cast<Py_ssize_t>(utf8_text.size())));
}

std::string describe_exception(PyObject* exc) {
    Ref qualname = require(PyType_GetQualName(Py_TYPE(exc)));
    std::string out = lenient_utf8(qualname.get());
    out += ": ";
    if (Ref text = Ref::steal(PyObject_Str(exc))) {
        out += lenient_utf8(text.get());
    } else {
        discard_error();
        out += "<exception str() failed>";
    }
    return out;
}

Ref import(const char* module) {
    Ref name = require(PyUnicode_FromString(module));
    return require(PyImport_Import(name.get()));
}

Ref getattr(PyObject* obj, const char* name) {
    // An interned name is one object for every call, so the interpreter's
    // attribute cache is not flooded with a fresh key per lookup.
    Ref key = require(PyUnicode_InternFromString(name));
    return require(PyObject_GetAttr(obj, key.get()));
}

Ref getattr_or_discard(PyObject* obj, const char* name) {
    Ref key = require(PyUnicode_InternFromString(name));
    Ref value = Ref::steal(PyObject_GetAttr(obj, key.get()));
    if (!value) discard_error();
    return value;
}

}  // namespace orvan::lib
