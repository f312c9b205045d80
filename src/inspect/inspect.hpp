// Module inspection: inspect_modules(), the discovery step of the host tool.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace orvan::inspect {

// inspect_modules(modules)
extern PyMethodDef inspect_modules_def;

}  // namespace orvan::inspect
