// asset(...): checks the declaration at once and returns the decorator, a
// built-in function bound to a capsule that owns the configuration. Every
// application copies that configuration into a new AssetWrapper.
#include <memory>

#include "assets/internal.hpp"

namespace orvan::assets {
namespace {

using lib::Ref;
using lib::require;

constexpr const char* kCapsuleName = "pyo3-closure";

void free_config(PyObject* capsule) noexcept {
    delete static_cast<AssetConfig*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

Ref apply(PyObject* capsule, PyObject* args) {
    // Keyword arguments are accepted and ignored.
    if (PyTuple_GET_SIZE(args) != 1) {
        lib::raise(PyExc_TypeError,
                   "asset() decorator expects exactly one argument (the function)");
    }
    const auto* config =
        static_cast<const AssetConfig*>(PyCapsule_GetPointer(capsule, kCapsuleName));
    if (config == nullptr) lib::throw_error();
    return new_wrapper(*config, PyTuple_GET_ITEM(args, 0));
}

PyObject* decorator_entry(PyObject* capsule, PyObject* args, PyObject*) {
    return lib::guard("asset_decorator", [&] { return apply(capsule, args); });
}

// Shared by every decorator object; no docstring and no module, as the
// decorator is an anonymous closure rather than a module function.
PyMethodDef kDecoratorDef = {
    "asset_decorator",
    lib::as_cfunction(decorator_entry),
    METH_VARARGS | METH_KEYWORDS,
    nullptr,
};

Ref new_decorator(AssetConfig config) {
    auto owned = std::make_unique<AssetConfig>(std::move(config));
    Ref capsule = require(PyCapsule_New(owned.get(), kCapsuleName, free_config));
    owned.release();  // the capsule frees it from now on
    return require(PyCMethod_New(&kDecoratorDef, capsule.get(), nullptr, nullptr));
}

const char* const kKeywordOnly[] = {"name", "inputs", "partitions", "serializer"};
constexpr lib::Signature kSignature = {"asset", nullptr, 0, 0, kKeywordOnly, 4};

Ref asset(PyObject* const* bound) {
    return new_decorator(read_config(bound[0], bound[1], bound[2], bound[3]));
}

}  // namespace

PyMethodDef asset_def = lib::make_def<kSignature, asset>(
    "asset(*, name=None, inputs=None, partitions=None, serializer=None)\n--\n\n"
    "Decorator that registers a Python function as a orvan asset.\n"
    "\n"
    "Usage\n"
    "-----\n"
    "    from orvan import asset\n"
    "\n"
    "    @asset()\n"
    "    def my_data():\n"
    "        return {\"value\": 42}\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "name : str, optional\n"
    "    Override the asset's display name / continuity key.\n"
    "    Defaults to ``\"<file>:<function_name>\"``.\n"
    "inputs : dict[str, asset], optional\n"
    "    Declare upstream dependencies.  Map parameter names to other\n"
    "    ``@asset``-decorated functions.  Orvan will materialize upstream\n"
    "    assets first and pass their values as keyword arguments.\n"
    "\n"
    "    Example::\n"
    "\n"
    "        @asset()\n"
    "        def raw(): return [1, 2, 3]\n"
    "\n"
    "        @asset(inputs={\"data\": raw})\n"
    "        def processed(data): return [x * 2 for x in data]\n"
    "\n"
    "partitions : dict[str, partitions(...)], optional\n"
    "    Declare a partitioned asset.  Each dimension maps to a\n"
    "    ``partitions([...])`` call that enumerates the static partition keys.\n"
    "    Orvan will create one materialization job per partition combination.\n"
    "\n"
    "    Example::\n"
    "\n"
    "        from orvan import asset, partitions\n"
    "\n"
    "        @asset(partitions={\"ticker\": partitions([\"AAPL\", \"MSFT\", \"GOOG\"])})\n"
    "        def prices(ticker: str):\n"
    "            return fetch_price(ticker)\n"
    "\n"
    "serializer : str, optional\n"
    "    Reserved for future use.  Leave unset.");

}  // namespace orvan::assets
