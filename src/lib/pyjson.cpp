#include "lib/pyjson.hpp"

namespace orvan::lib {

json::ParseResult parse_dumped(PyObject* text) {
    return json::parse(text_of(text));
}

json::Value python_dict_to_json(PyObject* obj) {
    Ref json_module = import("json");
    Ref text = call_method(json_module.get(), "dumps", obj);
    json::ParseResult parsed = parse_dumped(text.get());
    if (!parsed) raise(PyExc_RuntimeError, "JSON parse error: " + parsed.error().message());
    return std::move(parsed).value();
}

}  // namespace orvan::lib
