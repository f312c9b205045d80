// Error conventions: the "error already set" throw, the internal-fault class
// and the boundary that keeps C++ exceptions out of the interpreter.
#include <cstdio>
#include <cstring>
#include <new>

#include "lib/lib.hpp"

namespace orvan::lib {
namespace {

constexpr const char* kPanicDoc =
    "\n"
    "The exception raised when native code called from Python hits an internal fault.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that it will\n"
    "typically propagate all the way through the stack and cause the Python\n"
    "interpreter to exit.\n";

// Created once and never freed: instances may outlive any module state.
PyObject* g_panic_class = nullptr;

void write_stderr(const std::string& text) noexcept {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

// Message of a pending internal-fault exception (its first argument).
std::string panic_message(PyObject* exc) {
    Ref args = Ref::steal(PyObject_GetAttrString(exc, "args"));
    // No args to read (a subclass may hide them): str() of the exception
    // itself is the message, and it must not run with this error pending.
    if (!args) PyErr_Clear();
    PyObject* first = nullptr;
    if (args && PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) > 0) {
        first = PyTuple_GET_ITEM(args.get(), 0);
    }
    Ref text = Ref::steal(first ? PyObject_Str(first) : PyObject_Str(exc));
    if (!text) {
        PyErr_Clear();
        return "<unprintable internal fault>";
    }
    return lenient_utf8(text.get());
}

// An internal fault raised by Python code we called: say so, show where it
// came from, and carry it on as our own fault so the caller gets a fresh one.
[[noreturn]] void resume_panic() {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    write_stderr(
        "orvan: an internal-fault exception was raised by called Python code; "
        "passing it on\n");
    PyErr_DisplayException(exc.get());
    throw InternalFault(panic_message(exc.get()));
}

void raise_internal_fault(const char* where, const char* message) noexcept {
    write_stderr(std::string("orvan: internal fault in ") + where + ": " + message + "\n");
    PyObject* cls = panic_class();
    if (cls == nullptr) return;  // its creation error stays set
    Ref text = Ref::steal(
        PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace"));
    if (text) PyErr_SetObject(cls, text.get());
}

}  // namespace

PyObject* panic_class() noexcept {
    if (g_panic_class == nullptr) {
        PyObject* cls = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                                  PyExc_BaseException, nullptr);
        if (cls == nullptr) return nullptr;
        if (g_panic_class == nullptr) {
            g_panic_class = cls;
        } else {
            Py_DECREF(cls);
        }
    }
    return g_panic_class;
}

namespace {
// Makes sure an exception is pending and that it is not an internal fault.
void settle_pending_error() {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    } else if (g_panic_class != nullptr && PyErr_ExceptionMatches(g_panic_class)) {
        resume_panic();
    }
}
}  // namespace

void throw_error() {
    settle_pending_error();
    throw ErrorAlreadySet{};
}

Ref take_error() {
    settle_pending_error();
    return Ref::steal(PyErr_GetRaisedException());
}

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw ErrorAlreadySet{};
}

void raise(PyObject* type, const std::string& message) {
    Ref text = require(
        PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    PyErr_SetObject(type, text.get());
    throw ErrorAlreadySet{};
}

void raise_cannot_convert(PyObject* obj, const char* target) {
    Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (!name) PyErr_Clear();
    if (name && PyUnicode_Check(name.get())) {
        PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(),
                     target);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "'<failed to extract type name>' object cannot be converted to '%s'", target);
    }
    throw ErrorAlreadySet{};
}

void handle_exception(const char* where) noexcept {
    try {
        throw;
    } catch (const ErrorAlreadySet&) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Clear();
        raise_internal_fault(where, e.what());
    } catch (...) {
        PyErr_Clear();
        raise_internal_fault(where, "unknown C++ exception");
    }
}

void rewrap_argument_error(const char* parameter) noexcept {
    PyObject* pending = PyErr_Occurred();
    if (pending == nullptr || pending != PyExc_TypeError) return;  // exact class only
    Ref original = Ref::steal(PyErr_GetRaisedException());
    Ref text = Ref::steal(PyObject_Str(original.get()));
    if (!text) return;  // the str() failure is what the caller sees
    Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", parameter, text.get()));
    if (!message) return;
    Ref wrapped = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!wrapped) return;
    PyException_SetCause(wrapped.get(), PyException_GetCause(original.get()));
    PyErr_SetRaisedException(wrapped.release());
}

}  // namespace orvan::lib
