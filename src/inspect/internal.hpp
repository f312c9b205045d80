// Pieces of inspect_modules shared between its source files.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "json/json.hpp"
#include "lib/lib.hpp"

namespace orvan::inspect {

// The standard-library modules one call works with, imported at its start
// (through the interpreter's import, so repeats come from sys.modules).
struct Toolkit {
    lib::Ref importlib;
    lib::Ref inspect;
    lib::Ref textwrap;
    lib::Ref sys;
    lib::Ref pathlib;
    std::string python_version;  // "{major}.{minor}.{micro}"
};

// The names held by `modules`, as UTF-8. Raises the "argument 'modules': ..."
// TypeErrors, or what iterating and encoding the items raise (arguments.cpp).
std::vector<std::string> module_names(PyObject* modules);

// Writes "orvan: skipping module '{module}': {error}\n" straight to file
// descriptor 2 (warning.cpp). A refused write is ignored: there is nowhere
// left to report it.
void write_skip_warning(std::string_view module, std::string_view error);

// textwrap.dedent(inspect.getsource(obj)).strip() and one line feed. Raises
// what those calls raise, or TypeError when the result is not a str.
std::string source_of(const Toolkit& kit, PyObject* obj);

// The asset record of `member`, found in `module` (records.cpp). Raises what
// any of its lookups and standard-library calls raise.
json::Value asset_record(const Toolkit& kit, PyObject* module, const std::string& module_source,
                         PyObject* member);

}  // namespace orvan::inspect
