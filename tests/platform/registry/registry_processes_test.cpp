// Several processes on one image: concurrent writers lose nothing, and a writer killed in the middle of a
// change leaves exactly what was committed before it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/machine/machine_image.h"
#include "platform/registry/registry.h"
#include "platform/text/text.h"
#include "support/temp_machine.h"

namespace Kestrilon::Platform {
namespace {

RegistryLocation LocationOf(const Testing::TempMachine& machine) {
  return {machine.Root() / "registry.db", true, true, std::u16string(kImageUserSid)};
}

// A child writes through its own connection (a connection must not cross fork) and ends without
// running the parent's destructors.
template <typename Body>
pid_t Spawn(const Testing::TempMachine& machine, Body body) {
  pid_t pid = fork();
  if (pid == 0) {
    int status;
    {
      RegistryScope scope(LocationOf(machine));
      status = scope.Status() == ERROR_SUCCESS ? body() : 2;
    }
    _exit(status);
  }
  return pid;
}

int ExitStatus(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(RegistryProcessesTest, ConcurrentWritersLoseNoWrite) {
  Testing::TempMachine machine("win10-x64");
  constexpr int kWriters = 4, kWritesEach = 150;
  std::vector<pid_t> children;
  for (int writer = 0; writer < kWriters; ++writer) {
    children.push_back(Spawn(machine, [writer] {
      for (int i = 0; i < kWritesEach; ++i) {
        RegistryKey key;
        // Every writer also creates keys on the same path, racing the others.
        std::u16string path = u"Software\\Shared\\K" + ToUtf16(std::to_string(i % 10));
        if (RegistryKey::Create(HKEY_LOCAL_MACHINE, path, KEY_ALL_ACCESS, key) != ERROR_SUCCESS) return 1;
        std::u16string name = u"w" + ToUtf16(std::to_string(writer)) + u"_" + ToUtf16(std::to_string(i));
        if (key.SetDword(name, static_cast<uint32_t>(writer * 1000 + i)) != ERROR_SUCCESS) return 1;
      }
      return 0;
    }));
  }
  for (pid_t child : children) EXPECT_EQ(ExitStatus(child), 0);

  size_t total = 0;
  for (int k = 0; k < 10; ++k) {
    RegistryKey key;
    ASSERT_EQ(RegistryKey::Open(HKEY_LOCAL_MACHINE, u"Software\\Shared\\K" + ToUtf16(std::to_string(k)), KEY_READ, key),
              ERROR_SUCCESS);
    uint32_t values = 0;
    ASSERT_EQ(key.QueryInfo(nullptr, &values), ERROR_SUCCESS);
    total += values;
  }
  EXPECT_EQ(total, static_cast<size_t>(kWriters * kWritesEach));
  RegistryKey key;
  ASSERT_EQ(RegistryKey::Open(HKEY_LOCAL_MACHINE, u"Software\\Shared\\K7", KEY_READ, key), ERROR_SUCCESS);
  uint32_t value = 0;
  EXPECT_EQ(key.GetDword(u"w3_147", value), ERROR_SUCCESS);
  EXPECT_EQ(value, 3147u);
}

TEST(RegistryProcessesTest, WriterKilledInTheMiddleLeavesTheCommittedData) {
  Testing::TempMachine machine("win10-x64");
  // The child writes values one by one, as fast as it can, until it is killed.
  pid_t child = Spawn(machine, [] {
    RegistryKey key;
    if (RegistryKey::Create(HKEY_CURRENT_USER, u"Software\\Crash", KEY_ALL_ACCESS, key) != ERROR_SUCCESS) return 1;
    for (uint32_t i = 0;; ++i) {
      std::vector<uint8_t> blob(512, static_cast<uint8_t>(i));
      if (key.SetValue(u"v" + ToUtf16(std::to_string(i)), REG_BINARY, blob.data(), 512) != ERROR_SUCCESS) return 1;
    }
  });
  RegistryKey key;
  for (int tries = 0; tries < 500; ++tries) {
    uint32_t values = 0;
    if (RegistryKey::Open(HKEY_CURRENT_USER, u"Software\\Crash", KEY_READ, key) == ERROR_SUCCESS &&
        key.QueryInfo(nullptr, &values) == ERROR_SUCCESS && values > 100)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(child, SIGKILL);
  EXPECT_EQ(ExitStatus(child), -1);

  // Every committed value is whole, and they are exactly v0 .. v(n-1).
  ASSERT_EQ(RegistryKey::Open(HKEY_CURRENT_USER, u"Software\\Crash", KEY_ALL_ACCESS, key), ERROR_SUCCESS);
  uint32_t count = 0;
  ASSERT_EQ(key.QueryInfo(nullptr, &count), ERROR_SUCCESS);
  ASSERT_GT(count, 100u);
  for (uint32_t i = 0; i < count; ++i) {
    std::vector<uint8_t> data;
    uint32_t type = 0;
    ASSERT_EQ(key.QueryValue(u"v" + ToUtf16(std::to_string(i)), &type, data), ERROR_SUCCESS) << i;
    ASSERT_EQ(data, std::vector<uint8_t>(512, static_cast<uint8_t>(i))) << i;
  }
  EXPECT_EQ(key.SetDword(u"after", 1), ERROR_SUCCESS);  // the dead writer holds no lock
}

TEST(RegistryProcessesTest, UncommittedChangeOfAKilledProcessVanishes) {
  Testing::TempMachine machine("win7-x86");
  RegistryKey key;
  ASSERT_EQ(RegistryKey::Create(HKEY_CURRENT_USER, u"Software\\Half", KEY_ALL_ACCESS, key), ERROR_SUCCESS);
  ASSERT_EQ(key.SetDword(u"committed", 1), ERROR_SUCCESS);

  // The child opens the image's database itself and dies holding an open write transaction, the state
  // a registry change is in between its first statement and its commit.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  std::string database = (machine.Root() / "registry.db").string();
  pid_t child = fork();
  if (child == 0) {
    sqlite3* db = nullptr;
    if (sqlite3_open(database.c_str(), &db) != SQLITE_OK) _exit(1);
    sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    sqlite3_exec(db, "DELETE FROM reg_values", nullptr, nullptr, nullptr);
    sqlite3_exec(db, "DELETE FROM reg_keys WHERE parent <> 0", nullptr, nullptr, nullptr);
    (void)!write(ready[1], "x", 1);
    pause();
    _exit(0);
  }
  char byte;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  kill(child, SIGKILL);
  ExitStatus(child);
  close(ready[0]);
  close(ready[1]);

  uint32_t value = 0;
  EXPECT_EQ(key.GetDword(u"committed", value), ERROR_SUCCESS);
  EXPECT_EQ(key.SetDword(u"next", 2), ERROR_SUCCESS);
  RegistryKey version;
  EXPECT_EQ(RegistryKey::Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", KEY_READ, version),
            ERROR_SUCCESS);
}

TEST(RegistryProcessesTest, ThreadsOfOneProcessShareTheImage) {
  Testing::TempMachine machine("win7-x86");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 100; ++i) {
        RegistryKey key;
        ASSERT_EQ(RegistryKey::Create(HKEY_CURRENT_USER, u"Software\Threads", KEY_ALL_ACCESS, key), ERROR_SUCCESS);
        ASSERT_EQ(key.SetDword(u"t" + ToUtf16(std::to_string(t * 100 + i)), 1), ERROR_SUCCESS);
        uint32_t count = 0;
        ASSERT_EQ(key.QueryInfo(nullptr, &count), ERROR_SUCCESS);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  RegistryKey key;
  ASSERT_EQ(RegistryKey::Open(HKEY_CURRENT_USER, u"Software\Threads", KEY_READ, key), ERROR_SUCCESS);
  uint32_t count = 0;
  ASSERT_EQ(key.QueryInfo(nullptr, &count), ERROR_SUCCESS);
  EXPECT_EQ(count, 400u);
}

TEST(RegistryProcessesTest, AScopeThatCannotOpenItsDatabaseFailsInsteadOfUsingAnother) {
  Testing::TempMachine machine("win7-x86");
  RegistryLocation nowhere{machine.Root() / "missing-folder" / "registry.db", false, false, std::u16string(kImageUserSid)};
  {
    RegistryScope scope(nowhere);
    EXPECT_EQ(scope.Status(), ERROR_PATH_NOT_FOUND);
    RegistryKey key;
    EXPECT_EQ(RegistryKey::Create(HKEY_CURRENT_USER, u"Software\Stray", KEY_ALL_ACCESS, key), ERROR_PATH_NOT_FOUND);
  }
  RegistryKey key;
  EXPECT_EQ(RegistryKey::Open(HKEY_CURRENT_USER, u"Software\Stray", KEY_READ, key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegistryKey::Open(HKEY_CURRENT_USER, u"Software", KEY_READ, key), ERROR_SUCCESS);  // the image again
}

}  // namespace
}  // namespace Kestrilon::Platform
