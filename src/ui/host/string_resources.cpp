// The string table compiled into the program.
#include <map>

#include "ui/host/host.h"

namespace Kestrilon::UI {
namespace {

const std::map<uint32_t, std::u16string_view>& StringTable() {
  static const std::map<uint32_t, std::u16string_view> table = {
#include "resources/strings.inc"
  };
  return table;
}

}  // namespace

std::u16string LoadStringResource(uint32_t id) {
  const auto& table = StringTable();
  auto it = table.find(id);
  return it == table.end() ? std::u16string() : std::u16string(it->second);
}

}  // namespace Kestrilon::UI
