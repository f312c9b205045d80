// Conversion of inspect_modules' one argument to a list of module names.
#include <algorithm>

#include "inspect/internal.hpp"

namespace orvan::inspect {
namespace {

using lib::Ref;
using lib::require;

// A lying __len__ must not make us reserve absurd amounts of memory; the
// length is only a hint.
constexpr Py_ssize_t kMaxReserve = 4096;

std::vector<std::string> collect(PyObject* modules) {
    // A str is a sequence of one-character strs: almost certainly a mistake.
    if (PyUnicode_Check(modules)) lib::raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(modules)) lib::raise_cannot_convert(modules, "Sequence");

    std::vector<std::string> names;
    Py_ssize_t size = PySequence_Size(modules);
    if (size < 0) {
        lib::discard_error();
    } else {
        names.reserve(static_cast<std::size_t>(std::min(size, kMaxReserve)));
    }
    Ref iterator = require(PyObject_GetIter(modules));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        names.emplace_back(lib::text_of(item.get()));
    }
    if (PyErr_Occurred()) lib::throw_error();
    return names;
}

}  // namespace

std::vector<std::string> module_names(PyObject* modules) {
    return lib::convert_argument("modules", [&] { return collect(modules); });
}

}  // namespace orvan::inspect
