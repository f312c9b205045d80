// inspect_modules(modules): imports each named module and reports every asset
// among its members as one JSON text. A module that fails to import is skipped
// with a warning; every other failure ends the call.
#include "inspect/inspect.hpp"

#include <stdexcept>

#include "inspect/internal.hpp"

namespace orvan::inspect {
namespace {

using lib::Ref;
using lib::require;

std::string version_text(PyObject* sys) {
    Ref info = lib::getattr(sys, "version_info");
    std::string text;
    for (const char* part : {"major", "minor", "micro"}) {
        Ref number = lib::getattr(info.get(), part);
        long long value = PyLong_AsLongLong(number.get());
        if (value == -1 && PyErr_Occurred()) lib::throw_error();
        if (!text.empty()) text += '.';
        text += std::to_string(value);
    }
    return text;
}

Toolkit set_up() {
    Toolkit kit;
    kit.importlib = lib::import("importlib");
    kit.inspect = lib::import("inspect");
    kit.textwrap = lib::import("textwrap");
    kit.sys = lib::import("sys");
    kit.pathlib = lib::import("pathlib");
    kit.python_version = version_text(kit.sys.get());
    return kit;
}

// The imported module, or an empty Ref after the skip warning was written.
Ref import_or_skip(const Toolkit& kit, const std::string& name) {
    Ref text = lib::new_string(name);
    try {
        return lib::call_method(kit.importlib.get(), "import_module", text.get());
    } catch (const lib::ErrorAlreadySet&) {
        // An internal fault never gets here: it is passed on, never skipped.
        Ref error = lib::take_error();
        write_skip_warning(name, lib::describe_exception(error.get()));
        return {};
    }
}

void inspect_module(const Toolkit& kit, const std::string& name, json::Value& records) {
    Ref module = import_or_skip(kit, name);
    if (!module) return;
    // Read even when the module turns out to hold no asset: a module without
    // source cannot be described, and the host should hear about it.
    std::string module_source = source_of(kit, module.get());
    Ref members = lib::call_method(kit.inspect.get(), "getmembers", module.get());
    Ref iterator = require(PyObject_GetIter(members.get()));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!PyTuple_Check(item.get())) lib::raise_cannot_convert(item.get(), "PyTuple");
        PyObject* member = PyTuple_GetItem(item.get(), 1);  // borrowed from item
        if (member == nullptr) lib::throw_error();
        if (lib::declares_asset(member)) {
            records.push_back(asset_record(kit, module.get(), module_source, member));
        }
    }
    if (PyErr_Occurred()) lib::throw_error();
}

// The writer cannot fail on a well-formed value; only a text longer than a
// std::string can hold is refused, and that is reported rather than faulted.
std::string write_report(const json::Value& report) {
    try {
        return json::write_compact(report);
    } catch (const std::length_error& e) {
        lib::raise(PyExc_RuntimeError, std::string("JSON serialization error: ") + e.what());
    }
}

const char* const kParameters[] = {"modules"};
constexpr lib::Signature kSignature = {"inspect_modules", kParameters, 1, 1, nullptr, 0};

Ref inspect_modules(PyObject* const* bound) {
    std::vector<std::string> names = module_names(bound[0]);

    Toolkit kit = set_up();
    auto records = json::Value::array();
    for (const std::string& name : names) inspect_module(kit, name, records);
    auto report = json::Value::object();
    report.set("assets", std::move(records));
    return lib::new_string(write_report(report));
}

}  // namespace

PyMethodDef inspect_modules_def = lib::make_def<kSignature, inspect_modules>(
    "inspect_modules(modules)\n--\n\n"
    "Inspect modules for orvan assets. Called by the `python -m orvan.inspect` CLI stub.\n"
    "\n"
    "Imports each module, finds functions with `__orvan_kind__ == \"asset\"`,\n"
    "extracts source and metadata, returns JSON string to stdout.");

}  // namespace orvan::inspect
