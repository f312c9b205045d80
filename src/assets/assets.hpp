// Asset declaration: the asset() decorator factory, the AssetWrapper class and
// the Partitions markers.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace orvan::assets {

// The classes, created on first need and kept for the process. Borrowed
// references; throw lib::ErrorAlreadySet when creation fails.
PyTypeObject* wrapper_type();
PyTypeObject* partitions_type();

// asset(*, name=None, inputs=None, partitions=None, serializer=None)
extern PyMethodDef asset_def;
// partitions(values)
extern PyMethodDef partitions_def;

}  // namespace orvan::assets
