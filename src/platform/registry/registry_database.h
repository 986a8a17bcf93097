#pragma once
// The SQLite store behind the registry (private to platform/registry).
//
// Keys are rows with their parent, their name as written and their full folded path (upper-case ASCII,
// components joined by backslashes, starting with "HKLM" or "HKU"), so that opening a key is one indexed
// lookup and a sub-tree is one range of that index. Values belong to a key and keep the order they
// were first written in, as Windows enumerates them. Every change runs in its own IMMEDIATE
// transaction; readers never block writers (WAL), and writers wait for each other (busy timeout).
#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/registry.h"

namespace Kestrilon::Platform {

// Owns one prepared statement; reset (not finalized) after each use by StatementUse.
class Statement {
 public:
  Statement() = default;
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  bool Prepare(sqlite3* db, const char* sql);
  sqlite3_stmt* get() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

// Binds, steps and resets a statement for one use.
class StatementUse {
 public:
  explicit StatementUse(Statement& statement) : stmt_(statement.get()) {}
  ~StatementUse();
  StatementUse(const StatementUse&) = delete;
  StatementUse& operator=(const StatementUse&) = delete;
  StatementUse& Bind(int index, int64_t value);
  StatementUse& Bind(int index, std::string_view text);
  StatementUse& BindBlob(int index, const void* data, size_t size);
  int Step();  // SQLITE_ROW, SQLITE_DONE or an error
  int64_t Int(int column) const;
  std::string Text(int column) const;
  std::vector<uint8_t> Blob(int column) const;

 private:
  sqlite3_stmt* stmt_;
};

// Owns the connection.
struct Connection {
  Connection() = default;
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  sqlite3* db = nullptr;
};

struct StoredValue {
  std::string name;  // UTF-8, as written
  uint32_t type = REG_NONE;
  std::vector<uint8_t> data;
};

struct ChildKey {
  std::string name;  // UTF-8, as written
  std::string fold;  // folded name, the enumeration order
};

class RegistryDatabase {
 public:
  static std::shared_ptr<RegistryDatabase> Open(const RegistryLocation& location, int32_t* error);
  ~RegistryDatabase();
  RegistryDatabase(const RegistryDatabase&) = delete;
  RegistryDatabase& operator=(const RegistryDatabase&) = delete;

  const RegistryLocation& Location() const { return location_; }

  // `components` are the key's names below the root token ("HKLM" or "HKU").
  // FindKey: the key id or 0 when missing. CreateKey creates missing keys on the way.
  int32_t FindKey(const std::string& foldedPath, int64_t& id);
  int32_t CreateKey(std::string_view rootToken, const std::vector<std::string>& components, int64_t& id,
                    bool* created);

  int32_t QueryValue(int64_t key, const std::string& foldedName, StoredValue& value);
  int32_t SetValue(int64_t key, const std::string& name, const std::string& foldedName, uint32_t type,
                   const void* data, size_t size);
  int32_t DeleteValue(int64_t key, const std::string& foldedName);
  // Deletes a key; with `tree` its sub-keys go too, without it a key with sub-keys is refused with
  // ERROR_ACCESS_DENIED. `keepKey` keeps the key itself and deletes its sub-keys and values.
  int32_t DeleteKey(int64_t key, bool tree, bool keepKey);

  int32_t ChildKeys(int64_t key, std::vector<ChildKey>& children);
  int32_t ChildKeyAt(int64_t key, uint32_t index, std::string& name);
  int32_t Values(int64_t key, std::vector<StoredValue>& values);
  int32_t ValueAt(int64_t key, uint32_t index, StoredValue& value);
  int32_t Counts(int64_t key, uint32_t* subKeys, uint32_t* values);
  bool KeyExists(int64_t key);

 private:
  explicit RegistryDatabase(RegistryLocation location) : location_(std::move(location)) {}
  int32_t Initialise();
  int32_t Begin();
  int32_t Commit();
  void Rollback();
  int32_t Exec(const char* sql);
  int32_t FindKeyLocked(const std::string& foldedPath, int64_t& id);
  bool KeyExistsLocked(int64_t key);

  RegistryLocation location_;
  Connection connection_;  // declared before the statements, so it is closed after them
  sqlite3* db_ = nullptr;
  std::mutex mutex_;  // one connection per process, shared by its threads

  Statement begin_, commit_, rollback_;
  Statement findKey_, keyExists_, insertKey_, childCount_, valueCount_;
  Statement queryValue_, upsertValue_, deleteValue_;
  Statement childKeys_, childKeyAt_, values_, valueAt_;
  Statement deleteTreeValues_, deleteTreeKeys_, deleteKeyValues_, deleteKeyRow_;
};

// Upper-case ASCII folding of a name (UTF-8), the store's comparison and enumeration key.
std::string FoldName(std::string_view name);

// Maps an SQLite result code to the Win32 error the registry reports.
int32_t SqliteError(int rc);

}  // namespace Kestrilon::Platform
