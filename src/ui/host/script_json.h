#pragma once
// Script values as JSON, as the page bridge and kestrilon-shell carry them.
//
// Plain JSON maps onto the kinds a script produces: null is VT_EMPTY, true/false VT_BOOL, a string
// VT_BSTR, an integer in 32-bit range VT_I4 and any other number VT_R8. Every other value is written
// with its kind: {"kind": "VT_UI4", "value": 5} (a VT_BOOL that is neither -1 nor 0 carries its 16 bits
// as a number, a null string has the value null, VT_NULL has no value). Decoding accepts both forms for
// every kind, so Decode(Encode(v)) == v for every value but VT_DISPATCH, which has no JSON form.
// Objects keep their members in the order written (nlohmann::ordered_json).
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "ui/host/script_value.h"

namespace Kestrilon::UI {

// "VT_EMPTY", "VT_I4", ...; "VT_UNKNOWN" for a kind this program does not use.
std::string KindName(VarType kind);
std::optional<VarType> KindFromName(std::string_view name);

// The value alone, without its kind: null (VT_EMPTY, VT_NULL, a null string, VT_DISPATCH), a number,
// a string, or true/false (a VT_BOOL that is neither -1 nor 0 gives its 16 bits as a number).
nlohmann::ordered_json EncodeValue(const ScriptValue& value);
// The value in the form that decodes to the same value.
nlohmann::ordered_json EncodeTagged(const ScriptValue& value);
// False with a reason for JSON that is no script value (arrays, other objects, out-of-range values).
bool DecodeTagged(const nlohmann::ordered_json& json, ScriptValue& value, std::string* error = nullptr);

// Serialises JSON as one line; text that is not UTF-8 is replaced, never thrown.
std::string DumpJsonLine(const nlohmann::ordered_json& json);

}  // namespace Kestrilon::UI
