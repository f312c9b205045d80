// materialize_asset: import a module, call one asset function, and leave its
// value and a result record on disk. Failures of the run itself are recorded
// in result.json and end in SystemExit(1); failures before it are raised.
#include "materialize/materialize.hpp"

#include <new>
#include <string>

#include "json/json.hpp"
#include "lib/lib.hpp"

namespace orvan::materialize {
namespace {

using lib::Ref;
using lib::require;

struct Arguments {
    Ref module_name;
    Ref function_name;
    Ref input_kwargs_json;  // empty when the function takes no arguments
};

struct Outcome {
    std::string value_path;
    std::string signature;
    std::string result_type;
};

// Strict text of one argument, as a new exact str (also for str subclasses).
Ref text_argument(const char* parameter, PyObject* value) {
    return lib::convert_argument(parameter, [&] { return lib::new_string(lib::text_of(value)); });
}

void write_text(PyObject* path, const std::string& text) {
    Ref content = lib::new_string(text);
    Ref encoding = lib::new_string("utf-8");
    lib::call_method(path, "write_text", content.get(), encoding.get());
}

// Steps of the asset run proper; any throw here becomes a failure record.
Outcome run_asset(const Arguments& args, PyObject* importlib, PyObject* inspect, PyObject* json,
                  PyObject* out_dir) {
    Ref module = lib::call_method(importlib, "import_module", args.module_name.get());
    Ref function = require(PyObject_GetAttr(module.get(), args.function_name.get()));
    Ref original = lib::original_of(function.get());
    Ref result;
    if (!args.input_kwargs_json) {
        result = require(PyObject_CallNoArgs(original.get()));
    } else {
        Ref kwargs = lib::call_method(json, "loads", args.input_kwargs_json.get());
        if (!PyDict_Check(kwargs.get())) lib::raise_cannot_convert(kwargs.get(), "PyDict");
        Ref no_args = require(PyTuple_New(0));
        result = require(PyObject_Call(original.get(), no_args.get(), kwargs.get()));
    }
    Ref value_name = lib::new_string("value.json");
    Ref value_path = lib::call_method(out_dir, "__truediv__", value_name.get());
    Ref rendered = lib::call_method(json, "dumps", result.get());
    lib::call_method(value_path.get(), "write_text", rendered.get(),
                     lib::new_string("utf-8").get());

    Outcome outcome;
    outcome.value_path = lib::utf8(require(PyObject_Str(value_path.get())).get());
    Ref signature = lib::call_method(inspect, "signature", original.get());
    outcome.signature = lib::utf8(require(PyObject_Str(signature.get())).get());
    Ref type_name = lib::getattr(reinterpret_cast<PyObject*>(Py_TYPE(result.get())), "__name__");
    outcome.result_type = lib::text_of(type_name.get());
    return outcome;
}

std::string success_record(const Arguments& args, const Outcome& outcome) {
    auto record = json::Value::object();
    record.set("artifact_format", json::Value::string("json"));
    record.set("function_name", json::Value::string(lib::utf8(args.function_name.get())));
    record.set("module_path", json::Value::string(lib::utf8(args.module_name.get())));
    record.set("ok", json::Value::boolean(true));
    record.set("result_type", json::Value::string(outcome.result_type));
    record.set("signature", json::Value::string(outcome.signature));
    record.set("value_path", json::Value::string(outcome.value_path));
    return json::write_compact(record);
}

// Records the pending exception in result.json, then calls sys.exit(1).
Ref report_failure(PyObject* result_path) {
    Ref error = lib::take_error();
    auto record = json::Value::object();
    record.set("error", json::Value::string(lib::describe_exception(error.get())));
    Ref type_name = require(PyType_GetName(Py_TYPE(error.get())));
    record.set("error_type", json::Value::string(lib::lenient_utf8(type_name.get())));
    record.set("ok", json::Value::boolean(false));
    write_text(result_path, json::write_compact(record));

    Ref sys = lib::import("sys");
    Ref code = require(PyLong_FromLong(1));
    lib::call_method(sys.get(), "exit", code.get());
    return Ref::borrow(Py_None);  // sys.exit was replaced and returned
}

// An internal fault is passed on to the caller, not turned into SystemExit;
// still, result.json must not keep claiming an earlier success.
void record_internal_fault(PyObject* result_path, const char* message) noexcept {
    try {
        auto record = json::Value::object();
        record.set("error", json::Value::string(std::string("PanicException: ") + message));
        record.set("error_type", json::Value::string("PanicException"));
        record.set("ok", json::Value::boolean(false));
        write_text(result_path, json::write_compact(record));
    } catch (...) {
        PyErr_Clear();  // the fault itself is what the caller must see
    }
}

const char* const kParameters[] = {"module_name", "function_name", "output_dir",
                                   "input_kwargs_json"};
constexpr lib::Signature kSignature = {"materialize_asset", kParameters, 4, 3, nullptr, 0};

Ref materialize_asset(PyObject* const* bound) {
    Arguments args;
    args.module_name = text_argument("module_name", bound[0]);
    args.function_name = text_argument("function_name", bound[1]);
    Ref output_dir = text_argument("output_dir", bound[2]);
    if (bound[3] != nullptr && bound[3] != Py_None) {
        args.input_kwargs_json = text_argument("input_kwargs_json", bound[3]);
    }

    Ref importlib = lib::import("importlib");
    Ref inspect = lib::import("inspect");
    Ref json = lib::import("json");
    Ref pathlib = lib::import("pathlib");
    Ref out_dir = lib::new_path(pathlib.get(), output_dir.get());
    Ref mkdir_options = require(PyDict_New());
    require(PyDict_SetItemString(mkdir_options.get(), "parents", Py_True));
    require(PyDict_SetItemString(mkdir_options.get(), "exist_ok", Py_True));
    Ref mkdir = lib::getattr(out_dir.get(), "mkdir");
    Ref no_args = require(PyTuple_New(0));
    require(PyObject_Call(mkdir.get(), no_args.get(), mkdir_options.get()));
    Ref result_name = lib::new_string("result.json");
    Ref result_path = lib::call_method(out_dir.get(), "__truediv__", result_name.get());

    try {
        Outcome outcome =
            run_asset(args, importlib.get(), inspect.get(), json.get(), out_dir.get());
        write_text(result_path.get(), success_record(args, outcome));
    } catch (const lib::ErrorAlreadySet&) {
        return report_failure(result_path.get());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return report_failure(result_path.get());
    } catch (const lib::InternalFault& fault) {
        record_internal_fault(result_path.get(), fault.what());
        throw;
    }
    return Ref::borrow(Py_None);
}

}  // namespace

PyMethodDef materialize_asset_def = lib::make_def<kSignature, materialize_asset>(
    "materialize_asset(module_name, function_name, output_dir, input_kwargs_json=None)\n--\n\n"
    "Materialize a single asset function. Called by the `python -m orvan.worker` CLI stub.\n"
    "\n"
    "Imports the module, finds the function, calls the unwrapped original,\n"
    "serializes the result to JSON, writes value.json and result.json.\n"
    "\n"
    "If `input_kwargs_json` is provided, it is parsed as a JSON dict and\n"
    "passed as keyword arguments to the function.");

}  // namespace orvan::materialize
