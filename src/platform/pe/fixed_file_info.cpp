#include <charconv>

#include "platform/pe/pe.h"

namespace Kestrilon::Platform {

FixedFileInfo MakeFixedFileInfo(uint16_t major, uint16_t minor, uint16_t build, uint16_t revision,
                                uint32_t fileType) {
  FixedFileInfo info;
  info.dwFileVersionMS = (uint32_t{major} << 16) | minor;
  info.dwFileVersionLS = (uint32_t{build} << 16) | revision;
  info.dwProductVersionMS = info.dwFileVersionMS;
  info.dwProductVersionLS = info.dwFileVersionLS;
  info.dwFileType = fileType;
  return info;
}

std::optional<FixedFileInfo> ParseFixedFileInfo(std::string_view version, uint32_t fileType) {
  uint16_t parts[4] = {};
  const char* cursor = version.data();
  const char* end = version.data() + version.size();
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (cursor == end || *cursor != '.') return std::nullopt;
      ++cursor;
    }
    if (cursor == end || *cursor < '0' || *cursor > '9') return std::nullopt;
    unsigned value = 0;
    auto [next, error] = std::from_chars(cursor, end, value);
    if (error != std::errc() || value > 0xFFFF) return std::nullopt;
    parts[i] = static_cast<uint16_t>(value);
    cursor = next;
  }
  if (cursor != end) return std::nullopt;
  return MakeFixedFileInfo(parts[0], parts[1], parts[2], parts[3], fileType);
}

std::string FileVersionText(const FixedFileInfo& info) {
  return std::to_string(info.dwFileVersionMS >> 16) + "." + std::to_string(info.dwFileVersionMS & 0xFFFF) + "." +
         std::to_string(info.dwFileVersionLS >> 16) + "." + std::to_string(info.dwFileVersionLS & 0xFFFF);
}

}  // namespace Kestrilon::Platform
