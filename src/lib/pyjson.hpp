// Python objects to JSON values, by way of the interpreter's own json.dumps.
#pragma once

#include "json/json.hpp"
#include "lib/lib.hpp"

namespace orvan::lib {

// The JSON value that json.dumps(obj) (default options) denotes. Raises what
// json.dumps raises, or RuntimeError "JSON parse error: {detail}" when our
// parser refuses the text (NaN, infinities, huge integers, lone surrogates,
// nesting of 128 levels or more).
json::Value python_dict_to_json(PyObject* obj);

// The same, for the text json.dumps returned for one item: strict UTF-8 (a
// non-str raises the cannot-convert TypeError), then parsed. A parse failure
// is returned, not raised, so that each caller words its own error.
json::ParseResult parse_dumped(PyObject* text);

}  // namespace orvan::lib
