// Finds VS_FIXEDFILEINFO in a PE file: headers -> section table -> resource tree (type RT_VERSION,
// name 1 or the first, first language) -> VS_VERSIONINFO. Every read is checked against the source's
// size, so a truncated or hostile file gives false rather than an over-read.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/pe/pe.h"
#include "platform/pe/pe_format.h"

namespace Kestrilon::Platform {
namespace {

using namespace PeFormat;

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual bool Read(uint64_t offset, void* out, size_t length) const = 0;

  bool U16(uint64_t offset, uint16_t* value) const {
    uint8_t b[2];
    if (!Read(offset, b, sizeof b)) return false;
    *value = static_cast<uint16_t>(b[0] | (b[1] << 8));
    return true;
  }
  bool U32(uint64_t offset, uint32_t* value) const {
    uint8_t b[4];
    if (!Read(offset, b, sizeof b)) return false;
    *value = uint32_t{b[0]} | (uint32_t{b[1]} << 8) | (uint32_t{b[2]} << 16) | (uint32_t{b[3]} << 24);
    return true;
  }
};

class MemorySource final : public ByteSource {
 public:
  MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Read(uint64_t offset, void* out, size_t length) const override {
    if (offset > size_ || length > size_ - offset) return false;
    if (length) std::memcpy(out, data_ + offset, length);
    return true;
  }

 private:
  const uint8_t* data_;
  size_t size_;
};

class FileSource final : public ByteSource {
 public:
  explicit FileSource(int fd) : fd_(fd) {}
  bool Read(uint64_t offset, void* out, size_t length) const override {
    auto* cursor = static_cast<uint8_t*>(out);
    while (length > 0) {
      ssize_t got = ::pread(fd_, cursor, length, static_cast<off_t>(offset));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;  // error or end of file
      cursor += got;
      offset += static_cast<uint64_t>(got);
      length -= static_cast<size_t>(got);
    }
    return true;
  }

 private:
  int fd_;
};

class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

struct Section {
  uint32_t virtualAddress;
  uint32_t rawSize;
  uint32_t rawOffset;
};

class PeImage {
 public:
  explicit PeImage(const ByteSource& source) : source_(source) {}

  bool FindVersionBlock(FixedFileInfo* out) {
    uint32_t resourceRva = 0;
    if (!ReadHeaders(&resourceRva)) return false;
    uint32_t typeEntry = 0;
    if (!FindEntry(resourceRva, 0, kRtVersion, /*wantDirectory=*/true, &typeEntry)) return false;
    uint32_t nameEntry = 0;
    if (!FindEntry(resourceRva, typeEntry, 1, true, &nameEntry) &&
        !FindEntry(resourceRva, typeEntry, kAnyId, true, &nameEntry))
      return false;
    uint32_t dataEntry = 0;
    if (!FindEntry(resourceRva, nameEntry, kAnyId, false, &dataEntry)) return false;

    uint32_t dataRva = 0, dataSize = 0;
    if (!ReadAtRva(uint64_t{resourceRva} + dataEntry, 0, &dataRva) ||
        !ReadAtRva(uint64_t{resourceRva} + dataEntry, 4, &dataSize))
      return false;
    return ParseVersionInfo(dataRva, dataSize, out);
  }

 private:
  static constexpr uint32_t kAnyId = 0xFFFFFFFFu;

  bool ReadHeaders(uint32_t* resourceRva) {
    uint16_t magic = 0;
    uint32_t peOffset = 0, signature = 0;
    if (!source_.U16(0, &magic) || magic != kDosMagic) return false;
    if (!source_.U32(kDosLfanewOffset, &peOffset)) return false;
    if (!source_.U32(peOffset, &signature) || signature != kPeSignature) return false;
    const uint64_t coff = uint64_t{peOffset} + 4;
    uint16_t sectionCount = 0, optionalSize = 0, optionalMagic = 0;
    if (!source_.U16(coff + 2, &sectionCount) || !source_.U16(coff + 16, &optionalSize)) return false;
    const uint64_t optional = coff + kCoffHeaderSize;
    if (!source_.U16(optional, &optionalMagic)) return false;
    uint32_t rvaCountOffset = 0;
    if (optionalMagic == kOptionalMagicPe32)
      rvaCountOffset = kRvaCountOffsetPe32;
    else if (optionalMagic == kOptionalMagicPe32Plus)
      rvaCountOffset = kRvaCountOffsetPe32Plus;
    else
      return false;
    const uint32_t directoryOffset = rvaCountOffset + 4 + kResourceDirectoryIndex * 8;
    uint32_t rvaCount = 0;
    if (optionalSize < directoryOffset + 8) return false;
    if (!source_.U32(optional + rvaCountOffset, &rvaCount) || rvaCount <= kResourceDirectoryIndex) return false;
    uint32_t resourceSize = 0;
    if (!source_.U32(optional + directoryOffset, resourceRva) ||
        !source_.U32(optional + directoryOffset + 4, &resourceSize))
      return false;
    if (*resourceRva == 0 || resourceSize == 0) return false;

    const uint64_t table = optional + optionalSize;
    sections_.reserve(sectionCount);
    for (uint32_t i = 0; i < sectionCount; ++i) {
      const uint64_t header = table + uint64_t{i} * kSectionHeaderSize;
      Section section{};
      if (!source_.U32(header + 12, &section.virtualAddress) || !source_.U32(header + 16, &section.rawSize) ||
          !source_.U32(header + 20, &section.rawOffset))
        return false;
      sections_.push_back(section);
    }
    return !sections_.empty();
  }

  // Reads length bytes at an RVA; they must lie inside one section's raw data.
  bool ReadRva(uint64_t rva, void* out, size_t length) const {
    for (const Section& section : sections_) {
      if (rva < section.virtualAddress) continue;
      const uint64_t inside = rva - section.virtualAddress;
      if (inside > section.rawSize || length > section.rawSize - inside) continue;
      return source_.Read(uint64_t{section.rawOffset} + inside, out, length);
    }
    return false;
  }
  bool ReadAtRva(uint64_t rva, uint32_t delta, uint32_t* value) const {
    uint8_t b[4];
    if (!ReadRva(rva + delta, b, sizeof b)) return false;
    *value = uint32_t{b[0]} | (uint32_t{b[1]} << 8) | (uint32_t{b[2]} << 16) | (uint32_t{b[3]} << 24);
    return true;
  }

  // Looks in the resource directory at `directory` (an offset into the resource section) for the entry
  // with `id` (kAnyId: the first entry of the wanted kind) and gives the offset it points to.
  bool FindEntry(uint32_t resourceRva, uint32_t directory, uint32_t id, bool wantDirectory, uint32_t* target) {
    uint8_t header[kResourceDirectorySize];
    const uint64_t base = uint64_t{resourceRva} + directory;
    if (!ReadRva(base, header, sizeof header)) return false;
    const uint32_t named = header[12] | (header[13] << 8);
    const uint32_t ids = header[14] | (header[15] << 8);
    for (uint32_t i = 0; i < named + ids; ++i) {
      uint32_t name = 0, offset = 0;
      const uint64_t entry = base + kResourceDirectorySize + uint64_t{i} * kResourceEntrySize;
      if (!ReadAtRva(entry, 0, &name) || !ReadAtRva(entry, 4, &offset)) return false;
      const bool isDirectory = (offset & kResourceSubdirectoryFlag) != 0;
      if (isDirectory != wantDirectory) continue;
      if (id != kAnyId && ((name & kResourceNameIsStringFlag) || name != id)) continue;
      *target = offset & ~kResourceSubdirectoryFlag;
      return true;
    }
    return false;
  }

  bool ParseVersionInfo(uint32_t rva, uint32_t size, FixedFileInfo* out) const {
    // VS_VERSIONINFO: wLength, wValueLength, wType, L"VS_VERSION_INFO\0", padding to 4, the fixed block.
    static constexpr char16_t kKey[] = u"VS_VERSION_INFO";
    static constexpr uint32_t kKeyBytes = sizeof kKey;           // 32, terminator included
    static constexpr uint32_t kValueOffset = (6 + kKeyBytes + 3) & ~3u;  // 40
    if (size < kValueOffset + kFixedFileInfoSize) return false;
    uint8_t block[kValueOffset + kFixedFileInfoSize];
    if (!ReadRva(rva, block, sizeof block)) return false;
    const uint32_t length = block[0] | (block[1] << 8);
    const uint32_t valueLength = block[2] | (block[3] << 8);
    if (length < sizeof block || length > size || valueLength < kFixedFileInfoSize) return false;
    for (uint32_t i = 0; i < kKeyBytes / 2; ++i) {
      const char16_t c = static_cast<char16_t>(block[6 + 2 * i] | (block[7 + 2 * i] << 8));
      if (c != kKey[i]) return false;
    }
    uint32_t fields[13];
    for (int i = 0; i < 13; ++i) {
      const uint8_t* p = block + kValueOffset + 4 * i;
      fields[i] = uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
    }
    if (fields[0] != VS_FFI_SIGNATURE) return false;
    if (out) {
      *out = FixedFileInfo{fields[0], fields[1], fields[2],  fields[3],  fields[4],  fields[5], fields[6],
                           fields[7], fields[8], fields[9], fields[10], fields[11], fields[12]};
    }
    return true;
  }

  const ByteSource& source_;
  std::vector<Section> sections_;
};

}  // namespace

bool ReadFixedFileInfoFromBytes(const uint8_t* data, size_t size, FixedFileInfo* out) {
  if (data == nullptr) return false;
  MemorySource source(data, size);
  return PeImage(source).FindVersionBlock(out);
}

bool ReadFixedFileInfo(const std::filesystem::path& hostFile, FixedFileInfo* out) {
  UniqueFd fd(::open(hostFile.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) return false;
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;  // not a FIFO or device
  FileSource source(fd.get());
  return PeImage(source).FindVersionBlock(out);
}

}  // namespace Kestrilon::Platform
