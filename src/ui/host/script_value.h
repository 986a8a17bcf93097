#pragma once
// Script values: the program's VARIANT. Every command argument and result, and every value passed into
// or out of the page, is one of these.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace Kestrilon::UI {

enum VarType : uint16_t {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I4 = 3,
  VT_R8 = 5,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_BOOL = 11,
  VT_UI4 = 19,
  VT_INT = 22,
};

inline constexpr int16_t VARIANT_TRUE = -1;
inline constexpr int16_t VARIANT_FALSE = 0;

// A script object held by a value of kind VT_DISPATCH: in this program, the page's callback function.
// Values share it by counted reference (a copy of the value is a new reference, as VariantCopy AddRefs).
class IScriptObject {
 public:
  virtual ~IScriptObject() = default;
};

class ScriptValue {
 public:
  ScriptValue() = default;  // VT_EMPTY

  static ScriptValue Null() { return ScriptValue(VT_NULL); }
  static ScriptValue I4(int32_t v) { ScriptValue s(VT_I4); s.int_ = v; return s; }
  static ScriptValue Int(int32_t v) { ScriptValue s(VT_INT); s.int_ = v; return s; }
  static ScriptValue UI4(uint32_t v) { ScriptValue s(VT_UI4); s.int_ = static_cast<int32_t>(v); return s; }
  static ScriptValue R8(double v) { ScriptValue s(VT_R8); s.real_ = v; return s; }
  static ScriptValue Bool(bool v) { return BoolRaw(v ? VARIANT_TRUE : VARIANT_FALSE); }
  // A VT_BOOL with any 16-bit value (load_settings hands back the low half of a stored integer).
  static ScriptValue BoolRaw(int16_t v) { ScriptValue s(VT_BOOL); s.int_ = v; return s; }
  static ScriptValue String(std::u16string v) { ScriptValue s(VT_BSTR); s.text_ = std::move(v); return s; }
  // A VT_BSTR whose pointer is null: reads as the empty string, but is passed on as null.
  static ScriptValue NullString() { ScriptValue s(VT_BSTR); s.nullString_ = true; return s; }
  static ScriptValue Dispatch(std::shared_ptr<IScriptObject> object) {
    ScriptValue s(VT_DISPATCH); s.object_ = std::move(object); return s;
  }

  VarType Kind() const { return kind_; }
  bool IsEmpty() const { return kind_ == VT_EMPTY; }
  bool IsString() const { return kind_ == VT_BSTR; }

  int32_t AsI4() const { return int_; }  // VT_I4 and VT_INT
  uint32_t AsUI4() const { return static_cast<uint32_t>(int_); }
  double AsR8() const { return real_; }
  int16_t BoolValue() const { return static_cast<int16_t>(int_); }  // the raw 16 bits of VT_BOOL
  bool AsBool() const { return BoolValue() != 0; }
  const std::u16string& AsString() const { return text_; }  // empty for a null string
  bool IsNullString() const { return kind_ == VT_BSTR && nullString_; }
  const std::shared_ptr<IScriptObject>& AsDispatch() const { return object_; }

  friend bool operator==(const ScriptValue& a, const ScriptValue& b) {
    return a.kind_ == b.kind_ && a.int_ == b.int_ && (a.real_ == b.real_ || a.real_ != a.real_) &&
           a.text_ == b.text_ && a.nullString_ == b.nullString_ && a.object_ == b.object_;
  }

 private:
  explicit ScriptValue(VarType kind) : kind_(kind) {}

  VarType kind_ = VT_EMPTY;
  int32_t int_ = 0;
  double real_ = 0;
  std::u16string text_;
  bool nullString_ = false;
  std::shared_ptr<IScriptObject> object_;
};

}  // namespace Kestrilon::UI
