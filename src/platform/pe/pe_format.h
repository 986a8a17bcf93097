#pragma once
// Offsets and constants of the PE/COFF format shared by the reader and the writer (private).
#include <cstdint>

namespace Kestrilon::Platform::PeFormat {

inline constexpr uint16_t kDosMagic = 0x5A4D;         // "MZ"
inline constexpr uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
inline constexpr uint32_t kDosLfanewOffset = 0x3C;
inline constexpr uint32_t kCoffHeaderSize = 20;
inline constexpr uint16_t kOptionalMagicPe32 = 0x10B;
inline constexpr uint16_t kOptionalMagicPe32Plus = 0x20B;
// Where NumberOfRvaAndSizes sits inside the optional header; the data directories follow it.
inline constexpr uint32_t kRvaCountOffsetPe32 = 92;
inline constexpr uint32_t kRvaCountOffsetPe32Plus = 108;
inline constexpr uint32_t kResourceDirectoryIndex = 2;
inline constexpr uint32_t kSectionHeaderSize = 40;
inline constexpr uint32_t kResourceDirectorySize = 16;  // IMAGE_RESOURCE_DIRECTORY
inline constexpr uint32_t kResourceEntrySize = 8;       // IMAGE_RESOURCE_DIRECTORY_ENTRY
inline constexpr uint32_t kResourceDataEntrySize = 16;  // IMAGE_RESOURCE_DATA_ENTRY
inline constexpr uint32_t kResourceSubdirectoryFlag = 0x80000000u;
inline constexpr uint32_t kResourceNameIsStringFlag = 0x80000000u;
inline constexpr uint32_t kRtVersion = 16;
inline constexpr uint32_t kFixedFileInfoSize = 13 * 4;

}  // namespace Kestrilon::Platform::PeFormat
