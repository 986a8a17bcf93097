// The configuration document on arbitrary bytes: parse and read everything the engine would.
#include <cstdint>
#include <string>

#include "config/config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Kestrilon::Config::Configuration config;
  config.ParseDocument(std::string(reinterpret_cast<const char*>(data), size));
  for (const auto& group : config.Groups())
    for (const auto& entry : group.entries) config.ResolveUrl(entry.Attribute("url"));
  for (size_t i = 0; i < config.ItemCount(); ++i) {
    const auto* item = config.GetItem(i);
    for (const char* name : {"name", "type", "keyid", "flag"}) item->Attribute(name);
  }
  config.GetDataValue("help");
  config.GetUpdateRecord().Attribute("imperative");
  return 0;
}
