// The native module's shared toolkit: owning references, the error boundary,
// argument binding and text conversion. Every other subsystem builds on it.
//
// Rules of use
// - Every PyObject* this code owns lives in a Ref. Adoption is explicit:
//   Ref::steal() takes over a new reference, Ref::borrow() adds one. get()
//   lends the pointer, release() hands the reference back to CPython. There is
//   no implicit conversion to PyObject*; borrowed parameters stay PyObject*.
// - A failing C-API call is turned into a C++ throw by require(): it throws
//   ErrorAlreadySet, which always means "a Python exception is set". Never
//   throw it without an exception set, never return NULL without one.
// - Every entry point (module function, slot, initialiser) is a single call to
//   guard() / guard_int(). It maps ErrorAlreadySet to NULL/-1, std::bad_alloc
//   to MemoryError and anything else to the internal-fault exception, after
//   writing a report to standard error. Nothing escapes into C.
// - An internal-fault exception raised by Python code we call is never
//   discarded or recorded: require() and discard_error() turn it back into a
//   C++ InternalFault so that it reaches our caller as a new one.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace orvan::lib {

class Ref {
  public:
    Ref() noexcept = default;
    [[nodiscard]] static Ref steal(PyObject* p) noexcept { return Ref(p); }
    [[nodiscard]] static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }
    Ref(const Ref& o) noexcept : p_(Py_XNewRef(o.p_)) {}
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

  private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Thrown when a Python exception is set and the current call must end.
struct ErrorAlreadySet {};

// A violated invariant of the module; surfaces as pyo3_runtime.PanicException.
struct InternalFault : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Ends the current call with the pending Python exception. Sets SystemError
// when the interpreter reported failure without one; resumes internal faults.
[[noreturn]] void throw_error();

// Steals `p`; throws (see throw_error) when it is NULL.
inline Ref require(PyObject* p) {
    if (p == nullptr) throw_error();
    return Ref::steal(p);
}
// For int-returning C-API calls: throws when `rc` is -1 (negative).
inline int require(int rc) {
    if (rc < 0) throw_error();
    return rc;
}

// Takes the pending exception out of the interpreter and returns it (a
// SystemError when the interpreter reported failure without one). An internal
// fault is not handed out but resumed, as throw_error() does.
Ref take_error();
// take_error(), dropping the exception.
inline void discard_error() {
    take_error();
}

// Sets `type` with `message` and throws ErrorAlreadySet.
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise(PyObject* type, const std::string& message);

// TypeError "'{type}' object cannot be converted to '{target}'".
[[noreturn]] void raise_cannot_convert(PyObject* obj, const char* target);

// The internal-fault class, created on first need and kept for the process.
// Returns a borrowed reference, or NULL with an exception set.
PyObject* panic_class() noexcept;

// --- entry-point boundary -------------------------------------------------

// Translates the exception in flight into a Python error. Call only from a catch.
void handle_exception(const char* where) noexcept;

template <class F>
PyObject* guard(const char* where, F&& body) noexcept {
    try {
        return body().release();
    } catch (...) {
        handle_exception(where);
        return nullptr;
    }
}

template <class F>
int guard_int(const char* where, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        handle_exception(where);
        return -1;
    }
}

// --- text ----------------------------------------------------------------

// Strict UTF-8 view of a str (UnicodeEncodeError for lone surrogates). The view
// lives as long as the str object.
std::string_view utf8(PyObject* str);
// utf8() after a str check; other objects raise the cannot-convert TypeError
// with target "PyString".
std::string_view text_of(PyObject* obj);
// Lenient: lone surrogates become one U+FFFD per byte of their encoding.
std::string lenient_utf8(PyObject* str);
Ref new_string(std::string_view utf8_text);
// "{qualname}: {str(exc)}", or "{qualname}: <exception str() failed>".
std::string describe_exception(PyObject* exc);

// --- calls ------------------------------------------------------------------

Ref import(const char* module);
Ref getattr(PyObject* obj, const char* name);
// obj.name, or an empty Ref when the lookup raises: the error is discarded,
// except that an internal fault passes on.
Ref getattr_or_discard(PyObject* obj, const char* name);

template <class... A>
Ref call(PyObject* callable, A... args) {
    PyObject* argv[] = {nullptr, args...};
    return require(PyObject_Vectorcall(callable, argv + 1,
                                       sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// The interned str for `name`.
inline Ref intern(const char* name) {
    return require(PyUnicode_InternFromString(name));
}

// obj.name(*args), through PyObject_VectorcallMethod; `name` is a str.
template <class... A>
Ref call_method(PyObject* obj, const Ref& name, A... args) {
    PyObject* argv[] = {obj, args...};
    return require(PyObject_VectorcallMethod(name.get(), argv, 1 + sizeof...(A), nullptr));
}

// The same by C name. Interning builds and hashes a new str on every call, so
// loops intern the name once and use the overload above.
template <class... A>
Ref call_method(PyObject* obj, const char* name, A... args) {
    return call_method(obj, intern(name), args...);
}

// --- the asset attribute protocol and source paths -----------------------------

// Whether obj.__orvan_kind__ is exactly the str "asset". A failing lookup
// counts as "no"; internal faults still pass on.
bool declares_asset(PyObject* obj);
// obj.__orvan_original__, or obj itself when that lookup fails.
Ref original_of(PyObject* obj);
// pathlib.Path(arg), `pathlib` being the imported module.
Ref new_path(PyObject* pathlib, PyObject* arg);
// str(pathlib.Path(file).resolve()) as UTF-8; raises what those calls raise.
std::string resolved_path(PyObject* pathlib, PyObject* file);

// --- argument binding -------------------------------------------------------

// Parameters of one module function. Keyword-only names follow the positional
// ones in the output slots.
struct Signature {
    const char* function;  // name without "()"
    const char* const* positional;
    int n_positional;
    int required;  // leading positional parameters without default
    const char* const* keyword_only;
    int n_keyword_only;
};

// Fills out[0 .. n_positional + n_keyword_only) with borrowed arguments, NULL
// for those not given. Raises the binding TypeError on failure.
void bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
          PyObject** out);

// The C entry of a module function (METH_FASTCALL | METH_KEYWORDS): binds the
// arguments by `Sig` and runs `Body` on them behind the boundary. Body gets
// one borrowed slot per parameter, NULL for those not given.
inline constexpr int kMaxParameters = 8;

template <const Signature& Sig, Ref (*Body)(PyObject* const* bound)>
PyObject* fastcall_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                         PyObject* kwnames) noexcept {
    static_assert(Sig.n_positional + Sig.n_keyword_only <= kMaxParameters);
    return guard(Sig.function, [&] {
        PyObject* bound[kMaxParameters];
        bind(Sig, args, nargsf, kwnames, bound);
        return Body(bound);
    });
}

// PyMethodDef keeps every kind of C function under the one PyCFunction type.
template <class F>
PyCFunction as_cfunction(F* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// The method definition of a module function named and bound by `Sig`, run by
// `Body`. `doc` is the signature line, "\n--\n\n", then the docstring proper.
template <const Signature& Sig, Ref (*Body)(PyObject* const* bound)>
PyMethodDef make_def(const char* doc) {
    return {Sig.function, as_cfunction(fastcall_entry<Sig, Body>), METH_FASTCALL | METH_KEYWORDS,
            doc};
}

// Runs `convert`; an exact TypeError it raises becomes
// "argument '{parameter}': {message}" keeping the original's __cause__.
void rewrap_argument_error(const char* parameter) noexcept;

template <class F>
auto convert_argument(const char* parameter, F&& convert) {
    try {
        return convert();
    } catch (const ErrorAlreadySet&) {
        rewrap_argument_error(parameter);
        throw;
    }
}

}  // namespace orvan::lib
