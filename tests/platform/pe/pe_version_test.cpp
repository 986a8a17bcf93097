#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <vector>

#include "platform/pe/pe.h"
#include "support/temp_dir.h"

namespace Kestrilon::Platform {
namespace {

using Testing::TempDir;

std::vector<uint8_t> ReadBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint32_t U32At(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (uint32_t{b[at + 3]} << 24);
}
void PutU32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

std::vector<uint8_t> MakePe(bool pe64, const char* version = "6.1.7601.17514") {
  TempDir dir;
  auto info = ParseFixedFileInfo(version);
  EXPECT_TRUE(info.has_value());
  EXPECT_TRUE(WritePeWithVersion(dir / "x.dll", *info, pe64));
  return ReadBytes(dir / "x.dll");
}

TEST(PeVersion, WrittenFilesReadBackAllThirteenFields) {
  TempDir dir;
  for (bool pe64 : {false, true}) {
    FixedFileInfo info = MakeFixedFileInfo(10, 0, 19041, 3636, VFT_DLL);
    info.dwProductVersionMS = 0x000B0000;  // product version differs from the file version
    info.dwFileFlags = 0x2;
    info.dwFileSubtype = 7;
    info.dwFileDateMS = 0x12345678;
    info.dwFileDateLS = 0x9ABCDEF0;
    const auto file = dir / (pe64 ? "kernel64.dll" : "kernel32.dll");
    ASSERT_TRUE(WritePeWithVersion(file, info, pe64));
    FixedFileInfo read;
    ASSERT_TRUE(ReadFixedFileInfo(file, &read)) << "pe64=" << pe64;
    const uint32_t* a = &info.dwSignature;
    const uint32_t* b = &read.dwSignature;
    for (int i = 0; i < 13; ++i) EXPECT_EQ(a[i], b[i]) << "field " << i << " pe64=" << pe64;
    EXPECT_EQ(FileVersionText(read), "10.0.19041.3636");
    EXPECT_TRUE(ReadFixedFileInfo(file, nullptr));
  }
}

TEST(PeVersion, HeadersDescribeTheRequestedArchitecture) {
  const auto pe32 = MakePe(false);
  const auto pe64 = MakePe(true);
  const uint32_t peOffset = U32At(pe32, 0x3C);
  EXPECT_EQ(pe32[peOffset + 4] | (pe32[peOffset + 5] << 8), 0x014C);
  EXPECT_EQ(pe64[peOffset + 4] | (pe64[peOffset + 5] << 8), 0x8664);
  EXPECT_EQ(pe32[peOffset + 24] | (pe32[peOffset + 25] << 8), 0x10B);
  EXPECT_EQ(pe64[peOffset + 24] | (pe64[peOffset + 25] << 8), 0x20B);
  EXPECT_EQ(pe32.size() % 0x200, 0u);
}

TEST(PeVersion, VersionTextParsing) {
  struct Case {
    const char* text;
    bool valid;
  } cases[] = {{"1.2.3.4", true},  {"65535.0.0.65535", true}, {"1.2.3", false},   {"1.2.3.4.5", false},
               {"1.2.3.65536", false}, {"a.b.c.d", false},   {"1..3.4", false},  {"", false},
               {"1.2.3.4 ", false}, {"-1.2.3.4", false}};
  for (const auto& c : cases) {
    auto info = ParseFixedFileInfo(c.text);
    EXPECT_EQ(info.has_value(), c.valid) << c.text;
    if (info) {
      EXPECT_EQ(FileVersionText(*info), c.text);
    }
  }
}

TEST(PeVersion, EveryTruncationBeforeTheVersionBlockEndsGivesFalse) {
  for (bool pe64 : {false, true}) {
    const auto full = MakePe(pe64);
    // Resource section starts at 0x200; its tree and the 92-byte block end at 0x200 + 180.
    const size_t needed = 0x200 + 180;
    FixedFileInfo untouched = MakeFixedFileInfo(9, 9, 9, 9);
    for (size_t length = 0; length < needed; ++length) {
      FixedFileInfo out = untouched;
      ASSERT_FALSE(ReadFixedFileInfoFromBytes(full.data(), length, &out)) << length;
      ASSERT_EQ(out.dwFileVersionMS, untouched.dwFileVersionMS);
    }
    EXPECT_TRUE(ReadFixedFileInfoFromBytes(full.data(), needed, nullptr));
  }
}

TEST(PeVersion, DamagedHeadersAndOffsetsGiveFalse) {
  const auto good = MakePe(false);
  const uint32_t pe = U32At(good, 0x3C);
  const size_t optional = pe + 24;
  const size_t section = optional + 224;
  const size_t resourceDir = optional + 96 + 16;
  struct Write {
    size_t at;
    uint32_t value;
  };
  struct Damage {
    const char* what;
    std::vector<Write> writes;
  } damages[] = {
      {"dos magic", {{0, 0x00005A4E}}},
      {"e_lfanew past the end", {{0x3C, 0x7FFFFFF0}}},
      {"e_lfanew huge", {{0x3C, 0xFFFFFFFF}}},
      {"pe signature", {{pe, 0x00004551}}},
      {"optional magic", {{optional, 0x0000010C}}},
      {"no resource directory slot", {{optional + 92, 2}}},
      {"resource rva outside every section", {{resourceDir, 0x00050000}}},
      {"resource rva zero", {{resourceDir, 0}}},
      {"section raw offset past the end", {{section + 20, 0x7FFFFFFF}}},
      {"section count huge, no section matches", {{section + 12, 0x00900000}, {pe + 4, 0xFFFF014C}}},
      {"entry count huge, first entry not RT_VERSION", {{0x200 + 12, 0xFFFF0000}, {0x200 + 16, 17}}},
      {"type id not RT_VERSION", {{0x200 + 16, 17}}},
      {"type entry is not a directory", {{0x200 + 20, 24}}},
      {"data entry rva wild", {{0x200 + 72, 0xFFFFFFF0}}},
      {"data entry size too small", {{0x200 + 76, 91}}},
      {"version block length too small", {{0x200 + 88, 0x0034005B}}},
      {"version key", {{0x200 + 94, 0x00530057}}},
      {"fixed block signature", {{0x200 + 88 + 40, 0xFEEF04BE}}},
  };
  for (const auto& d : damages) {
    auto bytes = good;
    for (const Write& w : d.writes) PutU32(bytes, w.at, w.value);
    EXPECT_FALSE(ReadFixedFileInfoFromBytes(bytes.data(), bytes.size(), nullptr)) << d.what;
  }
  // A raw size larger than the file is harmless while the version block itself lies inside the file.
  auto generous = good;
  PutU32(generous, section + 16, 0xFFFFFFFF);
  EXPECT_TRUE(ReadFixedFileInfoFromBytes(generous.data(), generous.size(), nullptr));
  EXPECT_TRUE(ReadFixedFileInfoFromBytes(good.data(), good.size(), nullptr));
}

TEST(PeVersion, NonPeInputsGiveFalse) {
  TempDir dir;
  Testing::WriteFileText(dir / "text.exe", "MZ but nothing else follows here");
  Testing::WriteFileText(dir / "empty.exe", "");
  EXPECT_FALSE(ReadFixedFileInfo(dir / "text.exe", nullptr));
  EXPECT_FALSE(ReadFixedFileInfo(dir / "empty.exe", nullptr));
  EXPECT_FALSE(ReadFixedFileInfo(dir / "missing.exe", nullptr));
  EXPECT_FALSE(ReadFixedFileInfo(dir.Path(), nullptr));
  EXPECT_FALSE(ReadFixedFileInfoFromBytes(nullptr, 0, nullptr));
}

TEST(PeVersion, WriterReplacesAnExistingFileAndFailsInAMissingFolder) {
  TempDir dir;
  Testing::WriteFileText(dir / "k.dll", "old contents");
  ASSERT_TRUE(WritePeWithVersion(dir / "k.dll", MakeFixedFileInfo(5, 1, 2600, 5512), false));
  FixedFileInfo read;
  ASSERT_TRUE(ReadFixedFileInfo(dir / "k.dll", &read));
  EXPECT_EQ(FileVersionText(read), "5.1.2600.5512");
  EXPECT_FALSE(WritePeWithVersion(dir / "no" / "such" / "k.dll", read, false));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
}

}  // namespace
}  // namespace Kestrilon::Platform
