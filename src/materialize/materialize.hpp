// Materialisation: runs one asset function and leaves value.json and
// result.json in an output directory.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace orvan::materialize {

// materialize_asset(module_name, function_name, output_dir, input_kwargs_json=None)
extern PyMethodDef materialize_asset_def;

}  // namespace orvan::materialize
