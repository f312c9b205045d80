// Argument binding shared by the module functions, with CPython-style messages.
#include <string>

#include "lib/lib.hpp"

namespace orvan::lib {
namespace {

[[noreturn]] void too_many_positional(const Signature& sig, Py_ssize_t given) {
    const char* verb = given == 1 ? "was" : "were";
    if (sig.required != sig.n_positional) {
        PyErr_Format(PyExc_TypeError,
                     "%s() takes from %d to %d positional arguments but %zd %s given", sig.function,
                     sig.required, sig.n_positional, given, verb);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() takes %d positional arguments but %zd %s given",
                     sig.function, sig.n_positional, given, verb);
    }
    throw ErrorAlreadySet{};
}

// Slot of a keyword name: keyword-only parameters first, then positional ones.
int find_parameter(const Signature& sig, PyObject* name) {
    for (int i = 0; i < sig.n_keyword_only; ++i) {
        if (PyUnicode_CompareWithASCIIString(name, sig.keyword_only[i]) == 0) {
            return sig.n_positional + i;
        }
    }
    for (int i = 0; i < sig.n_positional; ++i) {
        if (PyUnicode_CompareWithASCIIString(name, sig.positional[i]) == 0) return i;
    }
    return -1;
}

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'
std::string join_names(const std::string* names, int count) {
    std::string out;
    for (int i = 0; i < count; ++i) {
        if (i > 0) out += count > 2 ? ", " : " ";
        if (i > 0 && i == count - 1) out += "and ";
        out += "'" + names[i] + "'";
    }
    return out;
}

[[noreturn]] void missing_required(const Signature& sig, PyObject** out) {
    std::string missing[8];
    int count = 0;
    for (int i = 0; i < sig.required && count < 8; ++i) {
        if (out[i] == nullptr) missing[count++] = sig.positional[i];
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %d required positional %s: %s", sig.function, count,
                 count == 1 ? "argument" : "arguments", join_names(missing, count).c_str());
    throw ErrorAlreadySet{};
}

}  // namespace

void bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
          PyObject** out) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs > sig.n_positional) too_many_positional(sig, nargs);
    const int slots = sig.n_positional + sig.n_keyword_only;
    for (int i = 0; i < slots; ++i) out[i] = i < nargs ? args[i] : nullptr;

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        const int slot = find_parameter(sig, name);
        if (slot < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         sig.function, name);
            throw ErrorAlreadySet{};
        }
        if (out[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'",
                         sig.function, name);
            throw ErrorAlreadySet{};
        }
        out[slot] = args[nargs + k];
    }
    for (int i = 0; i < sig.required; ++i) {
        if (out[i] == nullptr) missing_required(sig, out);
    }
}

}  // namespace orvan::lib
