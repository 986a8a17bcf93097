#pragma once
// .reg files, as the Windows registry editor writes and reads them.
//
// Two formats: "Windows Registry Editor Version 5.00" (written as UTF-16LE with a byte-order mark and
// CRLF line ends; read as UTF-16LE or UTF-8) and "REGEDIT4" (8-bit text, read as UTF-8). A file is a
// header line, then key sections "[HKEY_...\Path]" (or "[-HKEY_...\Path]" to delete the key and all
// below it), each followed by value lines: @ or "name" (with \\ and \" escaped), '=', then the data:
// "text", dword:0000000a, hex:01,02 (REG_BINARY), hex(N):.. (kind N in hexadecimal: hex(2) expandable
// text, hex(7) multi-text, hex(b) QWORD, hex(0) none), or - to delete the value. Long hex data continue on
// the next line after a trailing backslash. Lines starting with ';' are comments. In REGEDIT4 files the
// text kinds written as hex hold 8-bit text; in 5.00 files they hold UTF-16LE.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/registry.h"

namespace Kestrilon::Platform {

enum class RegFileFormat { Version5, Regedit4 };

struct RegFileValue {
  std::u16string name;  // empty for the default value (@)
  bool remove = false;  // "name"=-
  uint32_t type = REG_NONE;
  std::vector<uint8_t> data;  // as the registry stores it (text kinds in UTF-16LE)
};

struct RegFileKey {
  std::u16string name;  // the full name as written, e.g. u"HKEY_LOCAL_MACHINE\\SOFTWARE\\X"
  bool remove = false;  // [-name]
  std::vector<RegFileValue> values;
};

struct RegFile {
  RegFileFormat format = RegFileFormat::Version5;
  std::vector<RegFileKey> keys;
  std::vector<std::string> problems;  // lines that could not be understood ("line 7: ...")
};

// Reads a .reg file's bytes. False (with a reason) when the bytes are not a .reg file at all (no header);
// lines that cannot be understood are skipped and listed in `file.problems`.
bool ParseRegFile(const uint8_t* data, size_t size, RegFile& file, std::string* error = nullptr);

// The text of a .reg file (CRLF line ends), in the layout the registry editor exports.
std::u16string FormatRegFile(const RegFile& file);
// The bytes of that text: Version5 as UTF-16LE with byte-order mark (or UTF-8 when !utf16), REGEDIT4 as UTF-8.
std::vector<uint8_t> EncodeRegFile(const RegFile& file, bool utf16 = true);

// Applies a parsed file to the current registry, in the view `view` (0, KEY_WOW64_64KEY or
// KEY_WOW64_32KEY). Deleting what is not there is no error. Returns the first error met; every key and
// value is still tried.
int32_t ImportRegFile(const RegFile& file, uint32_t view);

// Reads a key with its values and all keys below it, in the format given.
int32_t ExportRegFile(RegistryRoot root, std::u16string_view path, uint32_t view, RegFileFormat format,
                      RegFile& file);

// "HKLM", "HKEY_LOCAL_MACHINE", "HKCU", ... (any case) and the path after the first backslash.
bool SplitRegistryName(std::u16string_view fullName, RegistryRoot& root, std::u16string& path);

}  // namespace Kestrilon::Platform
