#pragma once
// Windows paths and environment over the machine image.
//
// A Windows path (C:\..., forward or back slashes, any letter case) resolves to a host path through the
// image's drives, case-insensitively per component; an absolute Linux path passes through unchanged.
// For a 32-bit process on 64-bit Windows, %windir%\System32 resolves to SysWOW64 unless the calling
// thread has switched redirection off.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace Kestrilon::Platform {

// The host path of a Windows or Linux path; empty when it names no drive of the image (or a UNC path).
// Components that do not exist yet keep the case given; existing ones are matched without regard to case.
std::filesystem::path ToHostPath(std::u16string_view path);
// The Windows path of a host path inside one of the image's drives, else the host path as text.
std::u16string ToWindowsPath(const std::filesystem::path& hostPath);

// The image's Windows environment (windir, SystemRoot, SystemDrive, ProgramFiles, ProgramFiles(x86),
// ProgramW6432, CommonProgramFiles, CommonProgramFiles(x86), ProgramData, ALLUSERSPROFILE, USERPROFILE,
// USERNAME, APPDATA, LOCALAPPDATA, TEMP, TMP, PUBLIC, ...) over the process environment; names are
// compared without regard to case. A 32-bit process sees the 32-bit values of ProgramFiles and
// CommonProgramFiles, as on Windows.
std::optional<std::u16string> GetWindowsEnvironmentVariable(std::u16string_view name);
// ExpandEnvironmentStringsW: %NAME% replaced where NAME is set; unknown names stay as written.
std::u16string ExpandEnvironmentStrings(std::u16string_view text);

// File-system redirection of the calling thread (Wow64DisableWow64FsRedirection and its revert).
// Both answer false and change nothing unless the image's program is a 32-bit process on 64-bit Windows.
bool IsWow64Process();
bool Wow64DisableFsRedirection(void** oldValue);
bool Wow64RevertFsRedirection(void* oldValue);
bool IsFsRedirectionDisabled();  // for the calling thread

// The program file's full host path (GetModuleFileNameW of the running program).
std::filesystem::path ModuleFileName();

}  // namespace Kestrilon::Platform
