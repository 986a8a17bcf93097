#pragma once
// Pieces of the file helpers shared inside util/ (and by its tests).
#include <filesystem>
#include <functional>
#include <string>

#include "platform/status.h"

namespace Kestrilon::Util {

// The Win32 error an errno value stands for, as an HRESULT.
Platform::HRESULT HResultFromErrno(int error);

// ReadWholeFile over a given way of opening a host file for reading (a descriptor, or -1 with errno
// set). The program opens with open(2); tests pass an opener that refuses the first attempt, as a file
// held open without read sharing refuses it on Windows, which Linux has no counterpart for.
using OpenForReading = std::function<int(const std::filesystem::path&)>;
Platform::HRESULT ReadWholeFileUsing(const OpenForReading& open, const std::filesystem::path& hostPath,
                                     std::string& out);

}  // namespace Kestrilon::Util
