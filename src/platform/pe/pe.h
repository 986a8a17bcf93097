#pragma once
// Version resources of PE files (executables and DLLs).
//
// The reader finds the fixed version block (VS_FIXEDFILEINFO) in a PE file's resource section:
// RT_VERSION -> VS_VERSIONINFO -> VS_FIXEDFILEINFO with signature 0xFEEF04BD. It understands PE32 and
// PE32+ files, reads every offset against the file's real size, and answers false for anything that is
// not a well-formed PE with a version block.
//
// The writer makes a small valid PE file whose only resource is such a version block; the machine
// image uses it for System32\kernel32.dll and tests use it for programs of any version.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace Kestrilon::Platform {

inline constexpr uint32_t VS_FFI_SIGNATURE = 0xFEEF04BDu;
inline constexpr uint32_t VS_FFI_STRUCVERSION = 0x00010000u;
inline constexpr uint32_t VS_FFI_FILEFLAGSMASK = 0x0000003Fu;
inline constexpr uint32_t VOS_NT_WINDOWS32 = 0x00040004u;
inline constexpr uint32_t VFT_APP = 0x00000001u;
inline constexpr uint32_t VFT_DLL = 0x00000002u;

// VS_FIXEDFILEINFO, the 13 fields in Windows' order.
struct FixedFileInfo {
  uint32_t dwSignature = VS_FFI_SIGNATURE;
  uint32_t dwStrucVersion = VS_FFI_STRUCVERSION;
  uint32_t dwFileVersionMS = 0;
  uint32_t dwFileVersionLS = 0;
  uint32_t dwProductVersionMS = 0;
  uint32_t dwProductVersionLS = 0;
  uint32_t dwFileFlagsMask = VS_FFI_FILEFLAGSMASK;
  uint32_t dwFileFlags = 0;
  uint32_t dwFileOS = VOS_NT_WINDOWS32;
  uint32_t dwFileType = VFT_APP;
  uint32_t dwFileSubtype = 0;
  uint32_t dwFileDateMS = 0;
  uint32_t dwFileDateLS = 0;
};

// A block whose file and product versions are a.b.c.d.
FixedFileInfo MakeFixedFileInfo(uint16_t major, uint16_t minor, uint16_t build, uint16_t revision,
                                uint32_t fileType = VFT_APP);
// "a.b.c.d" (each part 0..65535, all four present) parsed into a block; nullopt when malformed.
std::optional<FixedFileInfo> ParseFixedFileInfo(std::string_view version, uint32_t fileType = VFT_APP);
// The file version of a block as "a.b.c.d".
std::string FileVersionText(const FixedFileInfo& info);

// Reads the fixed version block of a PE file. False (and *out unchanged) for a missing file, a file that
// is not a PE, a damaged one, or one without a version resource.
bool ReadFixedFileInfo(const std::filesystem::path& hostFile, FixedFileInfo* out);
// The same over bytes in memory (the file reader uses it; so does the fuzz target).
bool ReadFixedFileInfoFromBytes(const uint8_t* data, size_t size, FixedFileInfo* out);

// Writes a minimal valid PE file (PE32, or PE32+ when pe64) with `info` as its version resource,
// replacing any file at `hostFile`. False when the file cannot be written.
bool WritePeWithVersion(const std::filesystem::path& hostFile, const FixedFileInfo& info, bool pe64);

}  // namespace Kestrilon::Platform
