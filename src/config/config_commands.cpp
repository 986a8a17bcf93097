// The commands get_config and get_data.
#include "config/config.h"
#include "platform/text/text.h"
#include "ui/host/host.h"

namespace Kestrilon::Config {

UI::ScriptValue GetConfigCommand(std::u16string_view configUrlSetting, const std::function<void()>& quit) {
  const std::u16string source(configUrlSetting.empty() ? kDefaultConfigUrl : configUrlSetting);
  if (LoadConfiguration(source) < 0) {
    UI::ShowErrorMessage(u"获取配置失败，请检查您的网络。");
    if (quit) quit();
    return {};
  }
  Configuration& config = TheConfiguration();
  const size_t count = config.ItemCount();
  for (size_t i = 0; i < count; ++i) {
    const ConfigItem* item = config.GetItem(i);
    if (item == nullptr) continue;
    for (const char* property : {"name", "type", "keyid", "flag"})
      UI::SetItemInfo(static_cast<uint32_t>(i), property, Platform::ToUtf16(item->Attribute(property)));
  }
  // The key state after the items, as a device change would report it.
  if (UI::IBSDialog* dialog = UI::ApplicationDialog())
    dialog->CallScriptFunction(u"isAnyKeyConnect", nullptr, 0, nullptr);
  return {};
}

UI::ScriptValue GetDataCommand(const UI::ScriptValue& name) {
  if (!name.IsString()) return {};
  return UI::ScriptValue::String(
      Platform::ToUtf16(TheConfiguration().GetDataValue(Platform::ToUtf8(name.AsString()))));
}

}  // namespace Kestrilon::Config
