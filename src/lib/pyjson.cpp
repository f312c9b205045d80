#include "lib/pyjson.hpp"

namespace orvan::lib {

bool parse_dumped(PyObject* text, json::Value& out, std::string& error) {
    std::string_view utf8_text = text_of(text);
    auto result = json::parse(utf8_text);
    if (!result) {
        error = result.error().message();
        return false;
    }
    out = std::move(result).value();
    return true;
}

json::Value python_dict_to_json(PyObject* obj) {
    Ref json_module = import("json");
    Ref text = call_method(json_module.get(), "dumps", obj);
    json::Value value;
    std::string error;
    if (!parse_dumped(text.get(), value, error)) {
        raise(PyExc_RuntimeError, "JSON parse error: " + error);
    }
    return value;
}

}  // namespace orvan::lib
