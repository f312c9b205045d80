// One asset record: what inspect_modules reports about one asset member.
#include "inspect/internal.hpp"
#include "lib/pyjson.hpp"

namespace orvan::inspect {
namespace {

using lib::Ref;
using lib::require;

// str(pathlib.Path(inspect.getsourcefile(original)).resolve()), or "" when
// getsourcefile raises. A None result is passed to Path as it is, which then
// raises its own TypeError.
std::string file_path_of(const Toolkit& kit, PyObject* original) {
    Ref file;
    try {
        file = lib::call_method(kit.inspect.get(), "getsourcefile", original);
    } catch (const lib::ErrorAlreadySet&) {
        lib::discard_error();
        return {};
    }
    return lib::resolved_path(kit.pathlib.get(), file.get());
}

// null without a return annotation; the class name for a class; str() of
// anything else (typing constructs, None, string annotations).
json::Value return_type_of(const Toolkit& kit, PyObject* original) {
    Ref signature = lib::call_method(kit.inspect.get(), "signature", original);
    Ref annotation = lib::getattr(signature.get(), "return_annotation");
    Ref signature_class = lib::getattr(kit.inspect.get(), "Signature");
    Ref empty = lib::getattr(signature_class.get(), "empty");
    if (annotation.get() == empty.get()) return json::Value();

    Ref builtins = lib::import("builtins");
    Ref isinstance = lib::getattr(builtins.get(), "isinstance");
    Ref is_class =
        lib::call(isinstance.get(), annotation.get(), reinterpret_cast<PyObject*>(&PyType_Type));
    if (!PyBool_Check(is_class.get())) lib::raise_cannot_convert(is_class.get(), "PyBool");
    Ref text = is_class.get() == Py_True ? lib::getattr(annotation.get(), "__name__")
                                         : require(PyObject_Str(annotation.get()));
    return json::Value::string(lib::text_of(text.get()));
}

}  // namespace

std::string source_of(const Toolkit& kit, PyObject* obj) {
    Ref source = lib::call_method(kit.inspect.get(), "getsource", obj);
    Ref dedented = lib::call_method(kit.textwrap.get(), "dedent", source.get());
    Ref stripped = lib::call_method(dedented.get(), "strip");
    std::string text(lib::text_of(stripped.get()));
    text += '\n';
    return text;
}

// The lookups run in a fixed order, so that which exception ends the call is
// predictable when several would fail.
json::Value asset_record(const Toolkit& kit, PyObject* module, const std::string& module_source,
                         PyObject* member) {
    Ref metadata = lib::getattr(member, "__orvan_metadata__");
    json::Value decorator_metadata = lib::python_dict_to_json(metadata.get());
    Ref original = lib::original_of(member);
    std::string function_source = source_of(kit, original.get());
    Ref name = lib::getattr(original.get(), "__name__");
    std::string function_name(lib::text_of(name.get()));
    std::string file_path = file_path_of(kit, original.get());
    json::Value return_type = return_type_of(kit, original.get());
    Ref module_name = lib::getattr(module, "__name__");
    std::string module_path(lib::text_of(module_name.get()));

    auto record = json::Value::object();
    record.set("decorator_metadata", std::move(decorator_metadata));
    record.set("file_path", json::Value::string(file_path));
    record.set("function_name", json::Value::string(function_name));
    record.set("function_source", json::Value::string(function_source));
    record.set("kind", json::Value::string("asset"));
    record.set("module_path", json::Value::string(module_path));
    record.set("module_source", json::Value::string(module_source));
    record.set("python_version", json::Value::string(kit.python_version));
    record.set("return_type", std::move(return_type));
    return record;
}

}  // namespace orvan::inspect
