#pragma once
// Result codes shared by the platform layer: Win32 error codes and HRESULTs with the values Windows gives
// them, so that code written against the Windows behaviour reads and compares the same numbers.
#include <cstdint>

namespace Kestrilon::Platform {

using HRESULT = int32_t;

// Win32 error codes.
inline constexpr int32_t ERROR_SUCCESS = 0;
inline constexpr int32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr int32_t ERROR_PATH_NOT_FOUND = 3;
inline constexpr int32_t ERROR_ACCESS_DENIED = 5;
inline constexpr int32_t ERROR_INVALID_HANDLE = 6;
inline constexpr int32_t ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr int32_t ERROR_WRITE_FAULT = 29;
inline constexpr int32_t ERROR_READ_FAULT = 30;
inline constexpr int32_t ERROR_SHARING_VIOLATION = 32;
inline constexpr int32_t ERROR_HANDLE_EOF = 38;
inline constexpr int32_t ERROR_NOT_SUPPORTED = 50;
inline constexpr int32_t ERROR_FILE_EXISTS = 80;
inline constexpr int32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr int32_t ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr int32_t ERROR_DIR_NOT_EMPTY = 145;
inline constexpr int32_t ERROR_ALREADY_EXISTS = 183;
inline constexpr int32_t ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr int32_t ERROR_MORE_DATA = 234;
inline constexpr int32_t ERROR_NO_MORE_ITEMS = 259;
inline constexpr int32_t ERROR_BADDB = 1009;
inline constexpr int32_t ERROR_BADKEY = 1010;
inline constexpr int32_t ERROR_CANTOPEN = 1011;
inline constexpr int32_t ERROR_CANTREAD = 1012;
inline constexpr int32_t ERROR_CANTWRITE = 1013;
inline constexpr int32_t ERROR_KEY_DELETED = 1018;
inline constexpr int32_t ERROR_SERVICE_DOES_NOT_EXIST = 1060;
inline constexpr int32_t ERROR_TIMEOUT = 1460;

// HRESULTs.
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
inline constexpr HRESULT E_ABORT = static_cast<HRESULT>(0x80004004u);
inline constexpr HRESULT E_ACCESSDENIED = static_cast<HRESULT>(0x80070005u);

// A Win32 error e becomes 0x80070000 + e; success stays 0.
constexpr HRESULT HResultFromWin32(int32_t error) {
  return error <= 0 ? error : static_cast<HRESULT>(0x80070000u | (static_cast<uint32_t>(error) & 0xFFFFu));
}
constexpr bool Succeeded(HRESULT hr) { return hr >= 0; }
constexpr bool Failed(HRESULT hr) { return hr < 0; }

}  // namespace Kestrilon::Platform
