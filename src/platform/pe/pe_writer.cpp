// Writes the smallest PE file Windows' loader and version APIs accept: DOS header, PE headers, one
// ".rsrc" section holding a resource tree RT_VERSION / 1 / 0x0409 -> VS_VERSIONINFO.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/pe/pe.h"
#include "platform/pe/pe_format.h"

namespace Kestrilon::Platform {
namespace {

using namespace PeFormat;

constexpr uint32_t kFileAlignment = 0x200;
constexpr uint32_t kSectionAlignment = 0x1000;
constexpr uint32_t kPeOffset = 0x40;
constexpr uint32_t kResourceRva = 0x1000;
constexpr uint16_t kLanguageEnglishUs = 0x0409;

class Bytes {
 public:
  void U8(size_t at, uint8_t v) { Grow(at + 1)[at] = v; }
  void U16(size_t at, uint16_t v) {
    U8(at, static_cast<uint8_t>(v));
    U8(at + 1, static_cast<uint8_t>(v >> 8));
  }
  void U32(size_t at, uint32_t v) {
    U16(at, static_cast<uint16_t>(v));
    U16(at + 2, static_cast<uint16_t>(v >> 16));
  }
  void U64(size_t at, uint64_t v) {
    U32(at, static_cast<uint32_t>(v));
    U32(at + 4, static_cast<uint32_t>(v >> 32));
  }
  void Text(size_t at, const char* text) {
    for (size_t i = 0; text[i]; ++i) U8(at + i, static_cast<uint8_t>(text[i]));
  }
  void Resize(size_t size) { data_.resize(size, 0); }
  const std::vector<uint8_t>& Data() const { return data_; }

 private:
  std::vector<uint8_t>& Grow(size_t size) {
    if (data_.size() < size) data_.resize(size, 0);
    return data_;
  }
  std::vector<uint8_t> data_;
};

constexpr uint32_t AlignUp(uint32_t value, uint32_t alignment) { return (value + alignment - 1) & ~(alignment - 1); }

// The resource section's bytes, laid out for the section's RVA.
Bytes ResourceSection(const FixedFileInfo& info, uint32_t* versionSize) {
  Bytes r;
  constexpr uint32_t kTypeDir = 0, kNameDir = 24, kLanguageDir = 48, kDataEntry = 72, kVersion = 88;
  auto directory = [&](uint32_t at, uint32_t id, uint32_t target) {
    r.U16(at + 14, 1);  // one ID entry, no named ones
    r.U32(at + kResourceDirectorySize, id);
    r.U32(at + kResourceDirectorySize + 4, target);
  };
  directory(kTypeDir, kRtVersion, kResourceSubdirectoryFlag | kNameDir);
  directory(kNameDir, 1, kResourceSubdirectoryFlag | kLanguageDir);
  directory(kLanguageDir, kLanguageEnglishUs, kDataEntry);

  // VS_VERSIONINFO with the fixed block and no children.
  constexpr char16_t kKey[] = u"VS_VERSION_INFO";
  constexpr uint32_t kValueOffset = 40;
  const uint32_t length = kValueOffset + kFixedFileInfoSize;
  r.U16(kVersion, static_cast<uint16_t>(length));
  r.U16(kVersion + 2, static_cast<uint16_t>(kFixedFileInfoSize));
  r.U16(kVersion + 4, 0);  // binary value
  for (size_t i = 0; i < sizeof kKey / 2; ++i) r.U16(kVersion + 6 + 2 * i, kKey[i]);
  const uint32_t fields[13] = {info.dwSignature,        info.dwStrucVersion,    info.dwFileVersionMS,
                               info.dwFileVersionLS,    info.dwProductVersionMS, info.dwProductVersionLS,
                               info.dwFileFlagsMask,    info.dwFileFlags,       info.dwFileOS,
                               info.dwFileType,         info.dwFileSubtype,     info.dwFileDateMS,
                               info.dwFileDateLS};
  for (int i = 0; i < 13; ++i) r.U32(kVersion + kValueOffset + 4 * i, fields[i]);

  r.U32(kDataEntry, kResourceRva + kVersion);
  r.U32(kDataEntry + 4, length);
  *versionSize = length;
  return r;
}

std::vector<uint8_t> BuildPe(const FixedFileInfo& info, bool pe64) {
  uint32_t versionSize = 0;
  Bytes resources = ResourceSection(info, &versionSize);
  const uint32_t resourceSize = static_cast<uint32_t>(resources.Data().size());

  const uint16_t optionalSize = pe64 ? 240 : 224;
  const uint32_t coff = kPeOffset + 4;
  const uint32_t optional = coff + kCoffHeaderSize;
  const uint32_t sectionTable = optional + optionalSize;
  const uint32_t headersSize = AlignUp(sectionTable + kSectionHeaderSize, kFileAlignment);
  const uint32_t rawSize = AlignUp(resourceSize, kFileAlignment);
  const uint32_t imageSize = kResourceRva + AlignUp(resourceSize, kSectionAlignment);

  Bytes pe;
  pe.U16(0, kDosMagic);
  pe.U32(kDosLfanewOffset, kPeOffset);
  pe.U32(kPeOffset, kPeSignature);

  const bool dll = info.dwFileType == VFT_DLL;
  uint16_t characteristics = 0x0002;               // IMAGE_FILE_EXECUTABLE_IMAGE
  characteristics |= pe64 ? 0x0020 : 0x0100;       // LARGE_ADDRESS_AWARE / 32BIT_MACHINE
  if (dll) characteristics |= 0x2000;              // IMAGE_FILE_DLL
  pe.U16(coff, pe64 ? 0x8664 : 0x014C);            // AMD64 / I386
  pe.U16(coff + 2, 1);                             // one section
  pe.U16(coff + 16, optionalSize);
  pe.U16(coff + 18, characteristics);

  pe.U16(optional, pe64 ? kOptionalMagicPe32Plus : kOptionalMagicPe32);
  pe.U8(optional + 2, 14);  // linker version
  pe.U32(optional + 8, rawSize);  // SizeOfInitializedData
  if (pe64) {
    pe.U64(optional + 24, dll ? 0x180000000ull : 0x140000000ull);
  } else {
    pe.U32(optional + 28, dll ? 0x10000000u : 0x00400000u);
  }
  pe.U32(optional + 32, kSectionAlignment);
  pe.U32(optional + 36, kFileAlignment);
  pe.U16(optional + 40, 6);  // operating system version 6.0
  pe.U16(optional + 48, 6);  // subsystem version 6.0
  pe.U32(optional + 56, imageSize);
  pe.U32(optional + 60, headersSize);
  pe.U16(optional + 68, 2);       // IMAGE_SUBSYSTEM_WINDOWS_GUI
  pe.U16(optional + 70, 0x8140);  // TERMINAL_SERVER_AWARE | NX_COMPAT | DYNAMIC_BASE
  const uint32_t stackHeap = 72;  // SizeOfStackReserve in both layouts
  if (pe64) {
    pe.U64(optional + stackHeap, 0x100000);
    pe.U64(optional + stackHeap + 8, 0x1000);
    pe.U64(optional + stackHeap + 16, 0x100000);
    pe.U64(optional + stackHeap + 24, 0x1000);
  } else {
    pe.U32(optional + stackHeap, 0x100000);
    pe.U32(optional + stackHeap + 4, 0x1000);
    pe.U32(optional + stackHeap + 8, 0x100000);
    pe.U32(optional + stackHeap + 12, 0x1000);
  }
  const uint32_t rvaCountOffset = pe64 ? kRvaCountOffsetPe32Plus : kRvaCountOffsetPe32;
  pe.U32(optional + rvaCountOffset, 16);
  const uint32_t resourceDirectory = optional + rvaCountOffset + 4 + kResourceDirectoryIndex * 8;
  pe.U32(resourceDirectory, kResourceRva);
  pe.U32(resourceDirectory + 4, resourceSize);

  pe.Text(sectionTable, ".rsrc");
  pe.U32(sectionTable + 8, resourceSize);  // VirtualSize
  pe.U32(sectionTable + 12, kResourceRva);
  pe.U32(sectionTable + 16, rawSize);
  pe.U32(sectionTable + 20, headersSize);
  pe.U32(sectionTable + 36, 0x40000040u);  // INITIALIZED_DATA | MEM_READ

  pe.Resize(headersSize);
  std::vector<uint8_t> out = pe.Data();
  out.insert(out.end(), resources.Data().begin(), resources.Data().end());
  out.resize(headersSize + rawSize, 0);
  return out;
}

bool WriteAll(int fd, const std::vector<uint8_t>& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool WritePeWithVersion(const std::filesystem::path& hostFile, const FixedFileInfo& info, bool pe64) {
  const std::vector<uint8_t> bytes = BuildPe(info, pe64);
  // Written beside the target and renamed over it, so a reader never sees half a file.
  std::filesystem::path temporary = hostFile;
  temporary += ".tmp-" + std::to_string(::getpid());
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool written = WriteAll(fd, bytes);
  const bool closed = ::close(fd) == 0;
  if (!written || !closed || ::rename(temporary.c_str(), hostFile.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace Kestrilon::Platform
