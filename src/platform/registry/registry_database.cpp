#include "platform/registry/registry_database.h"

#include <system_error>

namespace Kestrilon::Platform {

namespace {

constexpr int kBusyTimeoutMs = 30000;

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS reg_keys (
  id INTEGER PRIMARY KEY,
  parent INTEGER NOT NULL,
  name TEXT NOT NULL,
  name_fold TEXT NOT NULL,
  path TEXT NOT NULL UNIQUE
);
CREATE INDEX IF NOT EXISTS reg_keys_children ON reg_keys(parent, name_fold);
CREATE TABLE IF NOT EXISTS reg_values (
  key_id INTEGER NOT NULL,
  name TEXT NOT NULL,
  name_fold TEXT NOT NULL,
  type INTEGER NOT NULL,
  data BLOB NOT NULL,
  UNIQUE(key_id, name_fold)
);
INSERT OR IGNORE INTO reg_keys(id, parent, name, name_fold, path) VALUES
  (1, 0, 'HKEY_LOCAL_MACHINE', 'HKEY_LOCAL_MACHINE', 'HKLM'),
  (2, 0, 'HKEY_USERS', 'HKEY_USERS', 'HKU');
)sql";

// The range of paths strictly below `path`: every one starts with path + '\', and ']' is the next
// character after '\', so [path\, path]) holds exactly the sub-tree.
std::string SubtreeLow(const std::string& path) { return path + "\\"; }
std::string SubtreeHigh(const std::string& path) { return path + "]"; }

}  // namespace

Statement::~Statement() {
  if (stmt_) sqlite3_finalize(stmt_);
}

bool Statement::Prepare(sqlite3* db, const char* sql) {
  return sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr) == SQLITE_OK;
}

StatementUse::~StatementUse() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

StatementUse& StatementUse::Bind(int index, int64_t value) {
  sqlite3_bind_int64(stmt_, index, value);
  return *this;
}

StatementUse& StatementUse::Bind(int index, std::string_view text) {
  sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  return *this;
}

StatementUse& StatementUse::BindBlob(int index, const void* data, size_t size) {
  // A zero-length blob must still be a blob, not NULL (the column is NOT NULL).
  static const uint8_t kEmpty = 0;
  sqlite3_bind_blob64(stmt_, index, size ? data : &kEmpty, size, SQLITE_TRANSIENT);
  return *this;
}

int StatementUse::Step() { return sqlite3_step(stmt_); }

int64_t StatementUse::Int(int column) const { return sqlite3_column_int64(stmt_, column); }

std::string StatementUse::Text(int column) const {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
  return text ? std::string(text, static_cast<size_t>(sqlite3_column_bytes(stmt_, column))) : std::string();
}

std::vector<uint8_t> StatementUse::Blob(int column) const {
  const auto* data = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_, column));
  size_t size = static_cast<size_t>(sqlite3_column_bytes(stmt_, column));
  return data ? std::vector<uint8_t>(data, data + size) : std::vector<uint8_t>();
}

std::string FoldName(std::string_view name) {
  std::string folded(name);
  for (char& c : folded)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return folded;
}

int32_t SqliteError(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW:
      return ERROR_SUCCESS;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return ERROR_TIMEOUT;
    case SQLITE_NOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return ERROR_ACCESS_DENIED;
    case SQLITE_CANTOPEN:
      return ERROR_CANTOPEN;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      return ERROR_BADDB;
    case SQLITE_IOERR:
    case SQLITE_FULL:
      return ERROR_CANTWRITE;
    default:
      return ERROR_BADDB;
  }
}

std::shared_ptr<RegistryDatabase> RegistryDatabase::Open(const RegistryLocation& location, int32_t* error) {
  std::shared_ptr<RegistryDatabase> db(new RegistryDatabase(location));
  int32_t result = db->Initialise();
  if (error) *error = result;
  if (result != ERROR_SUCCESS) return nullptr;
  return db;
}

RegistryDatabase::~RegistryDatabase() = default;

Connection::~Connection() {
  // close_v2 waits for the statements still prepared on it, whatever order the members go in.
  if (db) sqlite3_close_v2(db);
}

int32_t RegistryDatabase::Exec(const char* sql) {
  return SqliteError(sqlite3_exec(db_, sql, nullptr, nullptr, nullptr));
}

int32_t RegistryDatabase::Initialise() {
  std::error_code ec;
  if (location_.database.has_parent_path() && !std::filesystem::is_directory(location_.database.parent_path(), ec))
    return ERROR_PATH_NOT_FOUND;
  int rc = sqlite3_open_v2(location_.database.c_str(), &connection_.db,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  db_ = connection_.db;
  if (rc != SQLITE_OK) return SqliteError(rc);
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  sqlite3_extended_result_codes(db_, 1);
  // WAL lets readers run beside one writer; NORMAL durability loses nothing committed when a process
  // dies (only a power cut may drop the last commits, never corrupt the file).
  if (int32_t error = Exec("PRAGMA journal_mode=WAL"); error) return error;
  if (int32_t error = Exec("PRAGMA synchronous=NORMAL"); error) return error;
  if (int32_t error = Exec("BEGIN IMMEDIATE"); error) return error;
  if (int32_t error = Exec(kSchema); error) {
    Exec("ROLLBACK");
    return error;
  }
  if (int32_t error = Exec("COMMIT"); error) return error;

  struct {
    Statement* statement;
    const char* sql;
  } statements[] = {
      {&begin_, "BEGIN IMMEDIATE"},
      {&commit_, "COMMIT"},
      {&rollback_, "ROLLBACK"},
      {&findKey_, "SELECT id FROM reg_keys WHERE path = ?1"},
      {&keyExists_, "SELECT 1 FROM reg_keys WHERE id = ?1"},
      {&insertKey_, "INSERT INTO reg_keys(parent, name, name_fold, path) VALUES (?1, ?2, ?3, ?4)"},
      {&childCount_, "SELECT count(*) FROM reg_keys WHERE parent = ?1"},
      {&valueCount_, "SELECT count(*) FROM reg_values WHERE key_id = ?1"},
      {&queryValue_, "SELECT name, type, data FROM reg_values WHERE key_id = ?1 AND name_fold = ?2"},
      {&upsertValue_,
       "INSERT INTO reg_values(key_id, name, name_fold, type, data) VALUES (?1, ?2, ?3, ?4, ?5) "
       "ON CONFLICT(key_id, name_fold) DO UPDATE SET type = excluded.type, data = excluded.data"},
      {&deleteValue_, "DELETE FROM reg_values WHERE key_id = ?1 AND name_fold = ?2"},
      {&childKeys_, "SELECT name, name_fold FROM reg_keys WHERE parent = ?1 ORDER BY name_fold"},
      {&childKeyAt_, "SELECT name FROM reg_keys WHERE parent = ?1 ORDER BY name_fold LIMIT 1 OFFSET ?2"},
      {&values_, "SELECT name, type, data FROM reg_values WHERE key_id = ?1 ORDER BY rowid"},
      {&valueAt_, "SELECT name, type, data FROM reg_values WHERE key_id = ?1 ORDER BY rowid LIMIT 1 OFFSET ?2"},
      {&deleteTreeValues_,
       "DELETE FROM reg_values WHERE key_id IN (SELECT id FROM reg_keys WHERE path > ?1 AND path < ?2)"},
      {&deleteTreeKeys_, "DELETE FROM reg_keys WHERE path > ?1 AND path < ?2"},
      {&deleteKeyValues_, "DELETE FROM reg_values WHERE key_id = ?1"},
      {&deleteKeyRow_, "DELETE FROM reg_keys WHERE id = ?1"},
  };
  for (auto& [statement, sql] : statements)
    if (!statement->Prepare(db_, sql)) return SqliteError(sqlite3_errcode(db_));
  return ERROR_SUCCESS;
}

int32_t RegistryDatabase::Begin() { return SqliteError(StatementUse(begin_).Step()); }

int32_t RegistryDatabase::Commit() {
  int rc = StatementUse(commit_).Step();
  if (rc != SQLITE_DONE) Rollback();
  return SqliteError(rc);
}

void RegistryDatabase::Rollback() {
  if (!sqlite3_get_autocommit(db_)) StatementUse(rollback_).Step();
}

int32_t RegistryDatabase::FindKeyLocked(const std::string& foldedPath, int64_t& id) {
  StatementUse use(findKey_);
  use.Bind(1, foldedPath);
  int rc = use.Step();
  if (rc == SQLITE_ROW) {
    id = use.Int(0);
    return ERROR_SUCCESS;
  }
  id = 0;
  return rc == SQLITE_DONE ? ERROR_FILE_NOT_FOUND : SqliteError(rc);
}

int32_t RegistryDatabase::FindKey(const std::string& foldedPath, int64_t& id) {
  std::lock_guard lock(mutex_);
  return FindKeyLocked(foldedPath, id);
}

bool RegistryDatabase::KeyExistsLocked(int64_t key) {
  StatementUse use(keyExists_);
  use.Bind(1, key);
  return use.Step() == SQLITE_ROW;
}

bool RegistryDatabase::KeyExists(int64_t key) {
  std::lock_guard lock(mutex_);
  return KeyExistsLocked(key);
}

int32_t RegistryDatabase::CreateKey(std::string_view rootToken, const std::vector<std::string>& components,
                                    int64_t& id, bool* created) {
  std::lock_guard lock(mutex_);
  std::string path(rootToken);
  // Most creates find the key already there; answer those without a write transaction.
  std::string fullPath = path;
  for (const std::string& component : components) fullPath += "\\" + FoldName(component);
  if (FindKeyLocked(fullPath, id) == ERROR_SUCCESS) {
    if (created) *created = false;
    return ERROR_SUCCESS;
  }
  if (int32_t error = Begin(); error) return error;
  int64_t parent = 0;
  if (int32_t error = FindKeyLocked(path, parent); error) {
    Rollback();
    return error;
  }
  bool madeOne = false;
  for (const std::string& component : components) {
    std::string fold = FoldName(component);
    path += "\\" + fold;
    int64_t child = 0;
    int32_t error = FindKeyLocked(path, child);
    if (error == ERROR_FILE_NOT_FOUND) {
      StatementUse insert(insertKey_);
      insert.Bind(1, parent).Bind(2, component).Bind(3, fold).Bind(4, path);
      int rc = insert.Step();
      if (rc != SQLITE_DONE) {
        Rollback();
        return SqliteError(rc);
      }
      child = sqlite3_last_insert_rowid(db_);
      madeOne = true;
    } else if (error) {
      Rollback();
      return error;
    }
    parent = child;
  }
  if (int32_t error = Commit(); error) return error;
  id = parent;
  if (created) *created = madeOne;
  return ERROR_SUCCESS;
}

int32_t RegistryDatabase::QueryValue(int64_t key, const std::string& foldedName, StoredValue& value) {
  std::lock_guard lock(mutex_);
  StatementUse use(queryValue_);
  use.Bind(1, key).Bind(2, foldedName);
  int rc = use.Step();
  if (rc == SQLITE_ROW) {
    value.name = use.Text(0);
    value.type = static_cast<uint32_t>(use.Int(1));
    value.data = use.Blob(2);
    return ERROR_SUCCESS;
  }
  if (rc != SQLITE_DONE) return SqliteError(rc);
  return KeyExistsLocked(key) ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
}

int32_t RegistryDatabase::SetValue(int64_t key, const std::string& name, const std::string& foldedName,
                                   uint32_t type, const void* data, size_t size) {
  std::lock_guard lock(mutex_);
  if (int32_t error = Begin(); error) return error;
  if (!KeyExistsLocked(key)) {
    Rollback();
    return ERROR_KEY_DELETED;
  }
  StatementUse use(upsertValue_);
  use.Bind(1, key).Bind(2, name).Bind(3, foldedName).Bind(4, static_cast<int64_t>(type)).BindBlob(5, data, size);
  int rc = use.Step();
  if (rc != SQLITE_DONE) {
    Rollback();
    return SqliteError(rc);
  }
  return Commit();
}

int32_t RegistryDatabase::DeleteValue(int64_t key, const std::string& foldedName) {
  std::lock_guard lock(mutex_);
  if (int32_t error = Begin(); error) return error;
  StatementUse use(deleteValue_);
  use.Bind(1, key).Bind(2, foldedName);
  int rc = use.Step();
  if (rc != SQLITE_DONE) {
    Rollback();
    return SqliteError(rc);
  }
  if (sqlite3_changes(db_) == 0) {
    int32_t error = KeyExistsLocked(key) ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
    Rollback();
    return error;
  }
  return Commit();
}

int32_t RegistryDatabase::DeleteKey(int64_t key, bool tree, bool keepKey) {
  std::lock_guard lock(mutex_);
  if (int32_t error = Begin(); error) return error;
  auto fail = [this](int32_t error) {
    Rollback();
    return error;
  };
  std::string path;
  {
    // The path of the key, read inside the transaction so no other process changes it meanwhile.
    Statement pathOf;
    if (!pathOf.Prepare(db_, "SELECT path, parent FROM reg_keys WHERE id = ?1")) return fail(ERROR_BADDB);
    StatementUse use(pathOf);
    use.Bind(1, key);
    int rc = use.Step();
    if (rc != SQLITE_ROW) return fail(rc == SQLITE_DONE ? ERROR_KEY_DELETED : SqliteError(rc));
    if (use.Int(1) == 0 && !keepKey) return fail(ERROR_ACCESS_DENIED);  // a root stays
    path = use.Text(0);
  }
  if (!tree) {
    StatementUse count(childCount_);
    count.Bind(1, key);
    if (count.Step() != SQLITE_ROW) return fail(ERROR_BADDB);
    if (count.Int(0) > 0) return fail(ERROR_ACCESS_DENIED);
  }
  std::string low = SubtreeLow(path), high = SubtreeHigh(path);
  {
    StatementUse use(deleteTreeValues_);
    use.Bind(1, low).Bind(2, high);
    if (int rc = use.Step(); rc != SQLITE_DONE) return fail(SqliteError(rc));
  }
  {
    StatementUse use(deleteTreeKeys_);
    use.Bind(1, low).Bind(2, high);
    if (int rc = use.Step(); rc != SQLITE_DONE) return fail(SqliteError(rc));
  }
  {
    StatementUse use(deleteKeyValues_);
    use.Bind(1, key);
    if (int rc = use.Step(); rc != SQLITE_DONE) return fail(SqliteError(rc));
  }
  if (!keepKey) {
    StatementUse use(deleteKeyRow_);
    use.Bind(1, key);
    if (int rc = use.Step(); rc != SQLITE_DONE) return fail(SqliteError(rc));
  }
  return Commit();
}

int32_t RegistryDatabase::ChildKeys(int64_t key, std::vector<ChildKey>& children) {
  std::lock_guard lock(mutex_);
  children.clear();
  StatementUse use(childKeys_);
  use.Bind(1, key);
  int rc;
  while ((rc = use.Step()) == SQLITE_ROW) children.push_back({use.Text(0), use.Text(1)});
  return rc == SQLITE_DONE ? ERROR_SUCCESS : SqliteError(rc);
}

int32_t RegistryDatabase::ChildKeyAt(int64_t key, uint32_t index, std::string& name) {
  std::lock_guard lock(mutex_);
  StatementUse use(childKeyAt_);
  use.Bind(1, key).Bind(2, static_cast<int64_t>(index));
  int rc = use.Step();
  if (rc == SQLITE_ROW) {
    name = use.Text(0);
    return ERROR_SUCCESS;
  }
  if (rc != SQLITE_DONE) return SqliteError(rc);
  return KeyExistsLocked(key) ? ERROR_NO_MORE_ITEMS : ERROR_KEY_DELETED;
}

int32_t RegistryDatabase::Values(int64_t key, std::vector<StoredValue>& values) {
  std::lock_guard lock(mutex_);
  values.clear();
  StatementUse use(values_);
  use.Bind(1, key);
  int rc;
  while ((rc = use.Step()) == SQLITE_ROW)
    values.push_back({use.Text(0), static_cast<uint32_t>(use.Int(1)), use.Blob(2)});
  return rc == SQLITE_DONE ? ERROR_SUCCESS : SqliteError(rc);
}

int32_t RegistryDatabase::ValueAt(int64_t key, uint32_t index, StoredValue& value) {
  std::lock_guard lock(mutex_);
  StatementUse use(valueAt_);
  use.Bind(1, key).Bind(2, static_cast<int64_t>(index));
  int rc = use.Step();
  if (rc == SQLITE_ROW) {
    value = {use.Text(0), static_cast<uint32_t>(use.Int(1)), use.Blob(2)};
    return ERROR_SUCCESS;
  }
  if (rc != SQLITE_DONE) return SqliteError(rc);
  return KeyExistsLocked(key) ? ERROR_NO_MORE_ITEMS : ERROR_KEY_DELETED;
}

int32_t RegistryDatabase::Counts(int64_t key, uint32_t* subKeys, uint32_t* values) {
  std::lock_guard lock(mutex_);
  if (!KeyExistsLocked(key)) return ERROR_KEY_DELETED;
  if (subKeys) {
    StatementUse use(childCount_);
    use.Bind(1, key);
    if (int rc = use.Step(); rc != SQLITE_ROW) return SqliteError(rc);
    *subKeys = static_cast<uint32_t>(use.Int(0));
  }
  if (values) {
    StatementUse use(valueCount_);
    use.Bind(1, key);
    if (int rc = use.Step(); rc != SQLITE_ROW) return SqliteError(rc);
    *values = static_cast<uint32_t>(use.Int(0));
  }
  return ERROR_SUCCESS;
}

}  // namespace Kestrilon::Platform
