#pragma once
// File, process and 32/64-bit helpers shared by the configuration loader, the check items, the version
// probes and the application's exit path.
//
// Paths are Windows paths (C:\..., %NAME% already expanded) or absolute Linux paths, in UTF-16; they
// resolve through the machine image (platform/fs). Results that can fail are HRESULTs
// (platform/status.h): 0 success, 1 success with a reservation, negative failure.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/pe/pe.h"
#include "platform/status.h"

namespace Kestrilon::Util {

using Platform::HRESULT;

// File attributes as callers pass them. Hidden and system have no counterpart on Linux: they are
// accepted and ignored.
inline constexpr uint32_t FILE_ATTRIBUTE_READONLY = 0x01;
inline constexpr uint32_t FILE_ATTRIBUTE_HIDDEN = 0x02;
inline constexpr uint32_t FILE_ATTRIBUTE_SYSTEM = 0x04;
inline constexpr uint32_t FILE_ATTRIBUTE_NORMAL = 0x80;

// Buffers of the Windows program: a path holds at most 259 characters, a command line 519.
inline constexpr size_t kMaxPathChars = 260;         // terminator included
inline constexpr size_t kMaxCommandLineChars = 520;  // terminator included

// The whole content of a file (any size). When the file cannot be opened directly, it is copied to
// path + ".copy", read from there and the copy deleted again. HRESULT_FROM_WIN32(ERROR_HANDLE_EOF)
// when fewer bytes arrived than the file's size.
HRESULT ReadWholeFile(std::u16string_view path, std::string& out,
                      uint32_t attributes = FILE_ATTRIBUTE_NORMAL);
// Creates or replaces the file with `bytes`. The file is written beside the target and renamed over
// it, so a reader (or a crash) never sees it half-written; a symbolic link is written through.
HRESULT WriteWholeFile(std::u16string_view path, std::string_view bytes,
                       uint32_t attributes = FILE_ATTRIBUTE_NORMAL);

// Moves `source` (a new file) over `target`, which may be a running program: 0 moved; 1 when the target
// can be replaced neither directly nor by moving it aside, in which case the move is recorded in the
// image's pending renames (see ApplyPendingFileRenames) and the target is left as it was; E_FAIL when the
// source is missing; else the move's error. The target is never left missing. When the target had to be
// moved aside to target + ".old", that file is recorded for deletion at the next start.
HRESULT MoveIntoPlace(std::u16string_view source, std::u16string_view target);
// Carries out the renames and deletions recorded by MoveIntoPlace (Windows performs them at restart;
// here the program's start does). Returns how many entries were carried out; failed ones are dropped.
int ApplyPendingFileRenames();

// %NAME% expanded from the image's Windows environment. Empty for an empty text, and empty when the
// result does not fit a path buffer (rather than a truncated path).
std::u16string ExpandEnvironmentPath(std::u16string_view text);
// The same with a result code: HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE) when it does not fit.
HRESULT ExpandEnvironmentPath(std::u16string_view text, std::u16string& expanded);

// Where a download of `url` is stored: the folder Download beside the program (created when missing),
// and in it the URL's text after its last "/" (query characters included; the whole URL when it has no
// "/"). A name that would leave the folder ("..", backslashes) is not used as a path. Empty when the
// path does not fit a path buffer.
std::u16string DownloadTargetPath(std::u16string_view url);
HRESULT DownloadTargetPath(std::u16string_view url, std::u16string& path);

// Switch the calling thread's file-system redirection off and back on, keeping the previous state in
// one process-wide slot. Both answer false and change nothing unless the program is a 32-bit process on
// 64-bit Windows. Use them as a pair on one thread.
bool DisableWow64Redirection();
bool RevertWow64Redirection();

// The fixed version block of a program file; false when it has none. `block` may be null.
bool ReadFileVersion(std::u16string_view path, Platform::FixedFileInfo* block);

// Starts a command line (Windows rules; the program found through the image's paths). With wait, blocks
// until it ends and gives its exit code; without, gives 0 once started (or its exit code when it has
// already ended). As the signed-in user (from Windows Vista on; the XP profile starts it as the program
// itself): the desktop session's user, -1 when there is none. -1 for any failure to start, and for a
// command line that does not fit its buffer.
int LaunchProcess(std::u16string_view commandLine, bool wait, bool asSignedInUser);
// Starts a command line and waits until it and every process it started have ended (uninstallers that
// hand over to a copy of themselves); its exit code, or -1 when it could not be started.
int LaunchProcessAndWaitForTree(std::u16string_view commandLine);

// The browser program: App Paths\IEXPLORE.EXE when it names an existing file, else
// %ProgramFiles%\Internet Explorer\iexplore.exe when that exists, else what App Paths held (maybe empty).
std::u16string InternetExplorerPath();
// Opens `url` in the browser as the signed-in user: 0 started, E_FAIL when starting failed,
// HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) when no browser path is known.
HRESULT OpenInInternetExplorer(std::u16string_view url);

}  // namespace Kestrilon::Util
