// The registry against the bare SQLite statements a program would need on the same database, in one run.
// Each pair does the same work on the same machine image:
//   OpenAndRead   open HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion, read ProductName, close
//   ReadOpenKey   read one of 100 values of a key that stays open
//   OpenAndWrite  open a key, write a DWORD (one committed transaction), close
// The bare side prepares its statements once and looks keys up by their folded path, the best a
// hand-written store on this schema can do. The end of the run prints registry time / bare time.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "ratio_reporter.h"
#include "platform/machine/machine_image.h"
#include "platform/registry/registry.h"

namespace {

using namespace Kestrilon::Platform;
namespace fs = std::filesystem;

constexpr int kValues = 100;

struct Image {
  fs::path root;
  Image() {
    std::string pattern = (fs::temp_directory_path() / "kestrilon-bench-XXXXXX").string();
    root = fs::path(mkdtemp(pattern.data())) / "machine";
    std::string error;
    if (!MachineImage::Create(root, "win7-x86", false, &error)) {
      std::fprintf(stderr, "cannot create the image: %s\n", error.c_str());
      std::exit(1);
    }
    MachineImage::UseDirectory(root);
    RegistryKey key;
    RegistryKey::Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Bank\\Settings", KEY_ALL_ACCESS, key);
    for (int i = 0; i < kValues; ++i) key.SetDword(u"Value" + std::u16string(1, u'A' + i % 26) + char16_t(u'0' + i / 26), i);
  }
  ~Image() {
    std::error_code ec;
    fs::remove_all(root.parent_path(), ec);
  }
};

Image& TheImage() {
  static Image image;
  return image;
}

std::u16string ValueName(int i) { return u"Value" + std::u16string(1, u'A' + i % 26) + char16_t(u'0' + i / 26); }
std::string ValueFold(int i) {
  return "VALUE" + std::string(1, static_cast<char>('A' + i % 26)) + static_cast<char>('0' + i / 26);
}

// The bare statements on the image's database.
class Bare {
 public:
  Bare() {
    sqlite3_open_v2((TheImage().root / "registry.db").c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3_busy_timeout(db_, 30000);
    sqlite3_exec(db_, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    Prepare(&findKey_, "SELECT id FROM reg_keys WHERE path = ?1");
    Prepare(&queryValue_, "SELECT type, data FROM reg_values WHERE key_id = ?1 AND name_fold = ?2");
    Prepare(&upsert_,
            "INSERT INTO reg_values(key_id, name, name_fold, type, data) VALUES (?1, ?2, ?3, 4, ?4) "
            "ON CONFLICT(key_id, name_fold) DO UPDATE SET type = excluded.type, data = excluded.data");
    Prepare(&begin_, "BEGIN IMMEDIATE");
    Prepare(&commit_, "COMMIT");
  }
  ~Bare() {
    for (sqlite3_stmt* s : {findKey_, queryValue_, upsert_, begin_, commit_}) sqlite3_finalize(s);
    sqlite3_close(db_);
  }

  int64_t FindKey(const std::string& path) {
    sqlite3_bind_text(findKey_, 1, path.data(), static_cast<int>(path.size()), SQLITE_STATIC);
    int64_t id = sqlite3_step(findKey_) == SQLITE_ROW ? sqlite3_column_int64(findKey_, 0) : 0;
    sqlite3_reset(findKey_);
    return id;
  }
  size_t Query(int64_t key, const std::string& fold) {
    sqlite3_bind_int64(queryValue_, 1, key);
    sqlite3_bind_text(queryValue_, 2, fold.data(), static_cast<int>(fold.size()), SQLITE_STATIC);
    size_t size = 0;
    if (sqlite3_step(queryValue_) == SQLITE_ROW) {
      std::string copy(static_cast<const char*>(sqlite3_column_blob(queryValue_, 1)),
                       static_cast<size_t>(sqlite3_column_bytes(queryValue_, 1)));
      size = copy.size();
    }
    sqlite3_reset(queryValue_);
    return size;
  }
  void Write(int64_t key, const std::string& name, const std::string& fold, uint32_t value) {
    Step(begin_);
    sqlite3_bind_int64(upsert_, 1, key);
    sqlite3_bind_text(upsert_, 2, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
    sqlite3_bind_text(upsert_, 3, fold.data(), static_cast<int>(fold.size()), SQLITE_STATIC);
    sqlite3_bind_blob(upsert_, 4, &value, 4, SQLITE_STATIC);
    Step(upsert_);
    Step(commit_);
  }

 private:
  void Prepare(sqlite3_stmt** statement, const char* sql) { sqlite3_prepare_v2(db_, sql, -1, statement, nullptr); }
  static void Step(sqlite3_stmt* statement) {
    sqlite3_step(statement);
    sqlite3_reset(statement);
  }
  sqlite3* db_ = nullptr;
  sqlite3_stmt *findKey_ = nullptr, *queryValue_ = nullptr, *upsert_ = nullptr, *begin_ = nullptr, *commit_ = nullptr;
};

void RegistryOpenAndRead(benchmark::State& state) {
  TheImage();
  for (auto _ : state) {
    RegistryKey key;
    std::u16string text;
    RegistryKey::Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", KEY_READ, key);
    key.GetString(u"ProductName", text);
    benchmark::DoNotOptimize(text);
  }
}

void BareOpenAndRead(benchmark::State& state) {
  TheImage();
  Bare bare;
  for (auto _ : state) {
    int64_t key = bare.FindKey("HKLM\\SOFTWARE\\MICROSOFT\\WINDOWS NT\\CURRENTVERSION");
    benchmark::DoNotOptimize(bare.Query(key, "PRODUCTNAME"));
  }
}

void RegistryReadOpenKey(benchmark::State& state) {
  TheImage();
  RegistryKey key;
  RegistryKey::Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Bank\\Settings", KEY_READ, key);
  int i = 0;
  for (auto _ : state) {
    uint32_t value = 0;
    key.GetDword(ValueName(i++ % kValues), value);
    benchmark::DoNotOptimize(value);
  }
}

void BareReadOpenKey(benchmark::State& state) {
  TheImage();
  Bare bare;
  int64_t key = bare.FindKey("HKLM\\SOFTWARE\\BANK\\SETTINGS");
  int i = 0;
  for (auto _ : state) {
    std::string fold = ValueFold(i++ % kValues);  // the folding of the name is part of the work
    benchmark::DoNotOptimize(bare.Query(key, fold));
  }
}

void RegistryOpenAndWrite(benchmark::State& state) {
  TheImage();
  int i = 0;
  for (auto _ : state) {
    RegistryKey key;
    RegistryKey::Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Bank\\Settings", KEY_SET_VALUE, key);
    key.SetDword(ValueName(i % kValues), static_cast<uint32_t>(i));
    ++i;
  }
}

void BareOpenAndWrite(benchmark::State& state) {
  TheImage();
  Bare bare;
  int i = 0;
  for (auto _ : state) {
    int64_t key = bare.FindKey("HKLM\\SOFTWARE\\BANK\\SETTINGS");
    std::u16string name16 = ValueName(i % kValues);
    std::string name(name16.begin(), name16.end());
    bare.Write(key, name, ValueFold(i % kValues), static_cast<uint32_t>(i));
    ++i;
  }
}

BENCHMARK(RegistryOpenAndRead);
BENCHMARK(BareOpenAndRead);
BENCHMARK(RegistryReadOpenKey);
BENCHMARK(BareReadOpenKey);
BENCHMARK(RegistryOpenAndWrite);
BENCHMARK(BareOpenAndWrite);


}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Kestrilon::Bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nregistry / bare SQLite (wall time; the goal is at most 2):\n");
  for (const char* pair : {"OpenAndRead", "ReadOpenKey", "OpenAndWrite"}) {
    const double ratio = reporter.Ratio(std::string("Registry") + pair, std::string("Bare") + pair);
    if (ratio >= 0) std::printf("  %-13s %.2f\n", pair, ratio);
  }
  benchmark::Shutdown();
  return 0;
}
