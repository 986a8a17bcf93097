#include "ui/host/script_json.h"

#include <cmath>
#include <limits>

#include "platform/text/text.h"

namespace Kestrilon::UI {
namespace {

using json = nlohmann::ordered_json;

constexpr std::pair<VarType, std::string_view> kKindNames[] = {
    {VT_EMPTY, "VT_EMPTY"}, {VT_NULL, "VT_NULL"}, {VT_I4, "VT_I4"},     {VT_R8, "VT_R8"},   {VT_BSTR, "VT_BSTR"},
    {VT_DISPATCH, "VT_DISPATCH"}, {VT_BOOL, "VT_BOOL"}, {VT_UI4, "VT_UI4"}, {VT_INT, "VT_INT"},
};

bool Fail(std::string* error, std::string reason) {
  if (error) *error = std::move(reason);
  return false;
}

// An integer JSON number within [low, high].
bool IntegerIn(const json& j, int64_t low, int64_t high, int64_t& out) {
  if (j.is_number_unsigned()) {
    uint64_t u = j.get<uint64_t>();
    if (u > static_cast<uint64_t>(high)) return false;
    out = static_cast<int64_t>(u);
    return true;
  }
  if (j.is_number_integer()) {
    int64_t v = j.get<int64_t>();
    if (v < low || v > high) return false;
    out = v;
    return true;
  }
  if (j.is_number_float()) {  // 5.0 written by a script for an integer
    double d = j.get<double>();
    if (!(d >= static_cast<double>(low) && d <= static_cast<double>(high)) || std::floor(d) != d) return false;
    out = static_cast<int64_t>(d);
    return true;
  }
  return false;
}

json EncodeReal(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
  return d;
}

bool DecodeReal(const json& j, double& out) {
  if (j.is_number()) {
    out = j.get<double>();
    return true;
  }
  if (j.is_string()) {
    const auto& s = j.get_ref<const std::string&>();
    if (s == "NaN") out = std::numeric_limits<double>::quiet_NaN();
    else if (s == "Infinity") out = std::numeric_limits<double>::infinity();
    else if (s == "-Infinity") out = -std::numeric_limits<double>::infinity();
    else return false;
    return true;
  }
  return false;
}

bool DecodeExplicit(VarType kind, const json& object, ScriptValue& value, std::string* error) {
  const bool hasValue = object.contains("value");
  const json none;
  const json& v = hasValue ? object.at("value") : none;
  int64_t n = 0;
  switch (kind) {
    case VT_EMPTY: value = ScriptValue(); return true;
    case VT_NULL: value = ScriptValue::Null(); return true;
    case VT_I4:
    case VT_INT:
      if (!IntegerIn(v, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(), n))
        return Fail(error, KindName(kind) + " needs an integer in 32-bit range");
      value = kind == VT_I4 ? ScriptValue::I4(static_cast<int32_t>(n)) : ScriptValue::Int(static_cast<int32_t>(n));
      return true;
    case VT_UI4:
      if (!IntegerIn(v, 0, std::numeric_limits<uint32_t>::max(), n))
        return Fail(error, "VT_UI4 needs an integer from 0 to 4294967295");
      value = ScriptValue::UI4(static_cast<uint32_t>(n));
      return true;
    case VT_R8: {
      double d = 0;
      if (!DecodeReal(v, d)) return Fail(error, "VT_R8 needs a number");
      value = ScriptValue::R8(d);
      return true;
    }
    case VT_BOOL:
      if (v.is_boolean()) {
        value = ScriptValue::Bool(v.get<bool>());
        return true;
      }
      if (!IntegerIn(v, std::numeric_limits<int16_t>::min(), std::numeric_limits<int16_t>::max(), n))
        return Fail(error, "VT_BOOL needs true, false or a 16-bit integer");
      value = ScriptValue::BoolRaw(static_cast<int16_t>(n));
      return true;
    case VT_BSTR:
      if (v.is_null()) {
        value = ScriptValue::NullString();
        return true;
      }
      if (!v.is_string()) return Fail(error, "VT_BSTR needs a string or null");
      value = ScriptValue::String(Platform::ToUtf16(v.get_ref<const std::string&>()));
      return true;
    default:
      return Fail(error, KindName(kind) + " has no JSON form");
  }
}

}  // namespace

std::string KindName(VarType kind) {
  for (const auto& [k, name] : kKindNames)
    if (k == kind) return std::string(name);
  return "VT_UNKNOWN";
}

std::optional<VarType> KindFromName(std::string_view name) {
  for (const auto& [k, n] : kKindNames)
    if (n == name) return k;
  return std::nullopt;
}

json EncodeValue(const ScriptValue& value) {
  switch (value.Kind()) {
    case VT_I4:
    case VT_INT: return value.AsI4();
    case VT_UI4: return value.AsUI4();
    case VT_R8: return EncodeReal(value.AsR8());
    case VT_BOOL:
      if (value.BoolValue() == VARIANT_TRUE) return true;
      if (value.BoolValue() == VARIANT_FALSE) return false;
      return value.BoolValue();
    case VT_BSTR:
      if (value.IsNullString()) return nullptr;
      return Platform::ToUtf8(value.AsString());
    default: return nullptr;
  }
}

json EncodeTagged(const ScriptValue& value) {
  switch (value.Kind()) {
    case VT_EMPTY: return nullptr;
    case VT_I4: return value.AsI4();
    case VT_BSTR:
      if (!value.IsNullString()) return EncodeValue(value);
      break;
    case VT_BOOL:
      if (value.BoolValue() == VARIANT_TRUE || value.BoolValue() == VARIANT_FALSE) return EncodeValue(value);
      break;
    case VT_R8: {
      // A plain number decodes as VT_R8 only when it is written as a real number.
      double d = value.AsR8();
      if (std::isfinite(d) && std::floor(d) != d) return d;
      break;
    }
    default: break;
  }
  json tagged = {{"kind", KindName(value.Kind())}};
  if (value.Kind() != VT_NULL && value.Kind() != VT_DISPATCH) tagged["value"] = EncodeValue(value);
  return tagged;
}

bool DecodeTagged(const json& j, ScriptValue& value, std::string* error) {
  if (j.is_null()) {
    value = ScriptValue();
    return true;
  }
  if (j.is_boolean()) {
    value = ScriptValue::Bool(j.get<bool>());
    return true;
  }
  if (j.is_string()) {
    value = ScriptValue::String(Platform::ToUtf16(j.get_ref<const std::string&>()));
    return true;
  }
  if (j.is_number_integer() || j.is_number_unsigned()) {
    int64_t n = 0;
    if (IntegerIn(j, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(), n))
      value = ScriptValue::I4(static_cast<int32_t>(n));
    else
      value = ScriptValue::R8(j.get<double>());
    return true;
  }
  if (j.is_number_float()) {
    value = ScriptValue::R8(j.get<double>());
    return true;
  }
  if (j.is_object()) {
    auto kindIt = j.find("kind");
    if (kindIt == j.end() || !kindIt->is_string())
      return Fail(error, "an object needs \"kind\" with a kind name such as \"VT_UI4\"");
    for (const auto& [key, _] : j.items())
      if (key != "kind" && key != "value") return Fail(error, "unexpected member \"" + key + "\"");
    auto kind = KindFromName(kindIt->get_ref<const std::string&>());
    if (!kind) return Fail(error, "unknown kind \"" + kindIt->get<std::string>() + "\"");
    return DecodeExplicit(*kind, j, value, error);
  }
  return Fail(error, "an array is no script value");
}

std::string DumpJsonLine(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

}  // namespace Kestrilon::UI
