#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/machine/machine_image.h"
#include "platform/registry/registry.h"
#include "platform/registry/registry_database.h"
#include "platform/registry/registry_views.h"
#include "platform/text/text.h"

namespace Kestrilon::Platform {

struct RegistryKey::State {
  std::shared_ptr<RegistryDatabase> db;
  RegistryRoot root = RegistryRoot::LocalMachine;
  std::vector<std::u16string> logical;  // the path below the root as the program named it
  bool view32 = false;                  // the 32-bit view (only ever on 64-bit Windows)
  uint32_t access = 0;
  int64_t key = 0;      // the key; for HKCR its machine part (0 when only the user's exists)
  int64_t userKey = 0;  // HKCR only: the user's part, 0 when it does not exist
  bool merged = false;  // an HKCR key

  // Where changes go: the user's part of an HKCR key when it exists, as Windows writes them.
  int64_t WriteTarget() const { return userKey ? userKey : key; }
};

namespace {

constexpr size_t kMaxValueNameLength = 16383;

struct ScopeSlot {
  bool active = false;
  std::shared_ptr<RegistryDatabase> db;
  int32_t status = ERROR_SUCCESS;
};
thread_local ScopeSlot tScope;

// Opens a store and makes sure the keys every Windows has are there.
std::shared_ptr<RegistryDatabase> OpenStore(const RegistryLocation& location, int32_t* error) {
  auto db = RegistryDatabase::Open(location, error);
  if (!db) return nullptr;
  std::string sid = ToUtf8(location.userSid);
  const std::pair<const char*, std::vector<std::string>> baseKeys[] = {
      {"HKLM", {"SOFTWARE", "Classes"}},
      {"HKLM", {"SYSTEM"}},
      {"HKU", {".DEFAULT"}},
      {"HKU", {sid, "Software", "Classes"}},
  };
  for (const auto& [root, components] : baseKeys) {
    int64_t id = 0;
    if (int32_t result = db->CreateKey(root, components, id, nullptr); result) {
      if (error) *error = result;
      return nullptr;
    }
  }
  return db;
}

std::shared_ptr<RegistryDatabase> CurrentDatabase(int32_t& error) {
  error = ERROR_SUCCESS;
  if (tScope.active) {
    error = tScope.status;
    return tScope.db;
  }
  MachineImage& image = MachineImage::Current();
  static std::mutex mutex;
  static const MachineImage* cachedFor = nullptr;
  static std::shared_ptr<RegistryDatabase> cached;
  std::lock_guard lock(mutex);
  if (cachedFor == &image && cached) return cached;
  RegistryLocation location{image.RegistryDatabasePath(), image.Profile().native64, image.Profile().wow64Process,
                            std::u16string(kImageUserSid)};
  auto db = OpenStore(location, &error);
  if (!db) return nullptr;
  cached = db;
  cachedFor = &image;
  return db;
}

bool CanWrite(uint32_t access) { return (access & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY | DELETE)) != 0; }

int32_t FindIn(RegistryDatabase& db, const StorePath& path, int64_t& id) {
  int32_t result = db.FindKey(path.Folded(), id);
  if (result == ERROR_FILE_NOT_FOUND) id = 0;
  return result;
}

std::vector<std::string> Utf8Components(const std::vector<std::u16string>& components) {
  std::vector<std::string> out;
  out.reserve(components.size());
  for (const auto& component : components) out.push_back(ToUtf8(component));
  return out;
}

// Opens or creates the key `logical` below `root` into `state` (db, root, view and access set).
int32_t Resolve(RegistryKey::State& state, bool create, bool mayCreate, bool* created) {
  if (created) *created = false;
  std::vector<StorePath> places = MapToStore(state.root, state.logical, state.view32, state.db->Location().userSid);
  if (!state.merged) {
    int32_t result = FindIn(*state.db, places[0], state.key);
    if (result != ERROR_FILE_NOT_FOUND || !create) return result;
    if (!mayCreate) return ERROR_ACCESS_DENIED;
    return state.db->CreateKey(places[0].rootToken, Utf8Components(places[0].components), state.key, created);
  }
  int32_t userResult = FindIn(*state.db, places[0], state.userKey);
  if (userResult != ERROR_SUCCESS && userResult != ERROR_FILE_NOT_FOUND) return userResult;
  int32_t machineResult = FindIn(*state.db, places[1], state.key);
  if (machineResult != ERROR_SUCCESS && machineResult != ERROR_FILE_NOT_FOUND) return machineResult;
  if (state.userKey || state.key) return ERROR_SUCCESS;
  if (!create) return ERROR_FILE_NOT_FOUND;
  if (!mayCreate) return ERROR_ACCESS_DENIED;
  // A new HKCR key goes to the machine's classes unless its parent exists only in the user's.
  bool inUser = false;
  if (!places[0].components.empty()) {
    StorePath userParent = places[0], machineParent = places[1];
    userParent.components.pop_back();
    machineParent.components.pop_back();
    int64_t userParentId = 0, machineParentId = 0;
    FindIn(*state.db, userParent, userParentId);
    FindIn(*state.db, machineParent, machineParentId);
    inUser = userParentId != 0 && machineParentId == 0;
  }
  const StorePath& target = inUser ? places[0] : places[1];
  int64_t& id = inUser ? state.userKey : state.key;
  return state.db->CreateKey(target.rootToken, Utf8Components(target.components), id, created);
}

bool ViewFromAccess(uint32_t access, bool native64, bool inherited) {
  if (!native64) return false;
  if (access & KEY_WOW64_64KEY) return false;
  if (access & KEY_WOW64_32KEY) return true;
  return inherited;
}

int32_t OpenOrCreate(std::shared_ptr<RegistryDatabase> db, RegistryRoot root, std::vector<std::u16string> logical,
                     bool view32, uint32_t access, bool create, bool mayCreate,
                     std::unique_ptr<RegistryKey::State>& out, bool* created) {
  auto state = std::make_unique<RegistryKey::State>();
  state->db = std::move(db);
  state->root = root;
  state->logical = std::move(logical);
  state->view32 = view32;
  state->access = access;
  state->merged = root == RegistryRoot::ClassesRoot;
  int32_t result = Resolve(*state, create, mayCreate, created);
  if (result == ERROR_SUCCESS) out = std::move(state);
  return result;
}

int32_t OpenFromRoot(RegistryRoot root, std::u16string_view path, uint32_t access, bool create,
                     std::unique_ptr<RegistryKey::State>& out, bool* created) {
  std::vector<std::u16string> logical;
  if (!SplitKeyPath(path, logical)) return ERROR_INVALID_PARAMETER;
  int32_t error = ERROR_SUCCESS;
  auto db = CurrentDatabase(error);
  if (!db) return error ? error : ERROR_CANTOPEN;
  const RegistryLocation& location = db->Location();
  bool view32 = ViewFromAccess(access, location.native64, location.wow64Process);
  return OpenOrCreate(std::move(db), root, std::move(logical), view32, access, create, true, out, created);
}

int32_t OpenBelow(const RegistryKey::State& parent, std::u16string_view path, uint32_t access, bool create,
                  std::unique_ptr<RegistryKey::State>& out, bool* created) {
  std::vector<std::u16string> below;
  if (!SplitKeyPath(path, below)) return ERROR_INVALID_PARAMETER;
  std::vector<std::u16string> logical = parent.logical;
  logical.insert(logical.end(), below.begin(), below.end());
  bool view32 = ViewFromAccess(access, parent.db->Location().native64, parent.view32);
  bool mayCreate = (parent.access & KEY_CREATE_SUB_KEY) != 0;
  return OpenOrCreate(parent.db, parent.root, std::move(logical), view32, access, create, mayCreate, out, created);
}

std::vector<uint8_t> Utf16Bytes(std::u16string_view text, bool terminate) {
  std::vector<uint8_t> bytes;
  bytes.reserve((text.size() + 1) * 2);
  for (char16_t c : text) {
    bytes.push_back(static_cast<uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  if (terminate) bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

}  // namespace

// ---- RegistryScope

RegistryScope::RegistryScope(const RegistryLocation& location) {
  hadPrevious_ = tScope.active;
  previous_ = tScope.db;
  previousStatus_ = tScope.status;
  database_ = OpenStore(location, &status_);
  if (!database_ && status_ == ERROR_SUCCESS) status_ = ERROR_CANTOPEN;
  tScope = {true, database_, status_};
}

RegistryScope::~RegistryScope() {
  if (hadPrevious_)
    tScope = {true, previous_, previousStatus_};
  else
    tScope = {};
}

// ---- RegistryKey

RegistryKey::RegistryKey() = default;
RegistryKey::~RegistryKey() = default;
RegistryKey::RegistryKey(RegistryKey&&) noexcept = default;
RegistryKey& RegistryKey::operator=(RegistryKey&&) noexcept = default;

int32_t RegistryKey::Open(RegistryRoot root, std::u16string_view path, uint32_t access, RegistryKey& key) {
  std::unique_ptr<State> state;
  int32_t result = OpenFromRoot(root, path, access, false, state, nullptr);
  if (result == ERROR_SUCCESS) key.state_ = std::move(state);
  return result;
}

int32_t RegistryKey::Create(RegistryRoot root, std::u16string_view path, uint32_t access, RegistryKey& key,
                            bool* created) {
  std::unique_ptr<State> state;
  int32_t result = OpenFromRoot(root, path, access, true, state, created);
  if (result == ERROR_SUCCESS) key.state_ = std::move(state);
  return result;
}

int32_t RegistryKey::OpenSubKey(std::u16string_view path, uint32_t access, RegistryKey& key) const {
  if (!state_) return ERROR_INVALID_HANDLE;
  std::unique_ptr<State> state;
  int32_t result = OpenBelow(*state_, path, access, false, state, nullptr);
  if (result == ERROR_SUCCESS) key.state_ = std::move(state);
  return result;
}

int32_t RegistryKey::CreateSubKey(std::u16string_view path, uint32_t access, RegistryKey& key,
                                  bool* created) const {
  if (!state_) return ERROR_INVALID_HANDLE;
  std::unique_ptr<State> state;
  int32_t result = OpenBelow(*state_, path, access, true, state, created);
  if (result == ERROR_SUCCESS) key.state_ = std::move(state);
  return result;
}

bool RegistryKey::IsOpen() const { return state_ != nullptr; }
void RegistryKey::Close() { state_.reset(); }

std::u16string RegistryKey::FullName() const {
  if (!state_) return {};
  return DisplayName(state_->root, state_->logical, state_->view32);
}

int32_t RegistryKey::QueryValue(std::u16string_view name, uint32_t* type, void* data, uint32_t* size) const {
  if (!state_) return ERROR_INVALID_HANDLE;
  if (data && !size) return ERROR_INVALID_PARAMETER;
  std::vector<uint8_t> bytes;
  uint32_t kind = REG_NONE;
  int32_t result = QueryValue(name, &kind, bytes);
  if (result != ERROR_SUCCESS) return result;
  if (type) *type = kind;
  if (size) {
    uint32_t needed = static_cast<uint32_t>(bytes.size());
    if (data && *size < needed) {
      *size = needed;
      return ERROR_MORE_DATA;
    }
    if (data && needed) std::memcpy(data, bytes.data(), needed);
    *size = needed;
  }
  return ERROR_SUCCESS;
}

int32_t RegistryKey::QueryValue(std::u16string_view name, uint32_t* type, std::vector<uint8_t>& data) const {
  if (!state_) return ERROR_INVALID_HANDLE;
  if (!(state_->access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  std::string fold = FoldName(ToUtf8(name));
  StoredValue value;
  int32_t result = ERROR_FILE_NOT_FOUND;
  if (state_->userKey) result = state_->db->QueryValue(state_->userKey, fold, value);
  if (result == ERROR_FILE_NOT_FOUND && state_->key) result = state_->db->QueryValue(state_->key, fold, value);
  if (result != ERROR_SUCCESS) return result;
  if (type) *type = value.type;
  data = std::move(value.data);
  return ERROR_SUCCESS;
}

int32_t RegistryKey::SetValue(std::u16string_view name, uint32_t type, const void* data, uint32_t size) {
  if (!state_) return ERROR_INVALID_HANDLE;
  if (!(state_->access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  if (name.size() > kMaxValueNameLength || (size && !data)) return ERROR_INVALID_PARAMETER;
  std::string utf8 = ToUtf8(name);
  return state_->db->SetValue(state_->WriteTarget(), utf8, FoldName(utf8), type, data, size);
}

int32_t RegistryKey::DeleteValue(std::u16string_view name) {
  if (!state_) return ERROR_INVALID_HANDLE;
  if (!(state_->access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  std::string fold = FoldName(ToUtf8(name));
  int32_t result = ERROR_FILE_NOT_FOUND;
  if (state_->userKey) result = state_->db->DeleteValue(state_->userKey, fold);
  if (result == ERROR_FILE_NOT_FOUND && state_->key) result = state_->db->DeleteValue(state_->key, fold);
  return result;
}

int32_t RegistryKey::DeleteSubKey(std::u16string_view path) {
  if (!state_) return ERROR_INVALID_HANDLE;
  if (!CanWrite(state_->access)) return ERROR_ACCESS_DENIED;
  std::unique_ptr<State> target;
  if (int32_t result = OpenBelow(*state_, path, state_->access, false, target, nullptr); result) return result;
  return target->db->DeleteKey(target->WriteTarget(), false, false);
}

int32_t RegistryKey::DeleteTree(std::u16string_view path) {
  if (!state_) return ERROR_INVALID_HANDLE;
  if (!CanWrite(state_->access)) return ERROR_ACCESS_DENIED;
  std::unique_ptr<State> target;
  if (int32_t result = OpenBelow(*state_, path, state_->access, false, target, nullptr); result) return result;
  bool keepKey = path.empty();
  // An HKCR tree is deleted from both parts, so nothing of it shows through afterwards.
  int32_t result = ERROR_SUCCESS;
  if (target->userKey) result = target->db->DeleteKey(target->userKey, true, keepKey);
  if (result == ERROR_SUCCESS && target->key) result = target->db->DeleteKey(target->key, true, keepKey);
  return result;
}

namespace {

// The merged sub-keys of an HKCR key: the user's and the machine's, each name once, in order.
int32_t MergedChildren(const RegistryKey::State& state, std::vector<ChildKey>& children) {
  std::vector<ChildKey> user, machine;
  if (state.userKey)
    if (int32_t result = state.db->ChildKeys(state.userKey, user); result) return result;
  if (state.key)
    if (int32_t result = state.db->ChildKeys(state.key, machine); result) return result;
  children.clear();
  std::merge(user.begin(), user.end(), machine.begin(), machine.end(), std::back_inserter(children),
             [](const ChildKey& a, const ChildKey& b) { return a.fold < b.fold; });
  children.erase(std::unique(children.begin(), children.end(),
                             [](const ChildKey& a, const ChildKey& b) { return a.fold == b.fold; }),
                 children.end());
  return ERROR_SUCCESS;
}

int32_t MergedValues(const RegistryKey::State& state, std::vector<StoredValue>& values) {
  std::vector<StoredValue> machine;
  values.clear();
  if (state.userKey)
    if (int32_t result = state.db->Values(state.userKey, values); result) return result;
  if (state.key)
    if (int32_t result = state.db->Values(state.key, machine); result) return result;
  for (StoredValue& value : machine) {
    std::string fold = FoldName(value.name);
    bool shadowed = std::any_of(values.begin(), values.end(),
                                [&](const StoredValue& user) { return FoldName(user.name) == fold; });
    if (!shadowed) values.push_back(std::move(value));
  }
  return ERROR_SUCCESS;
}

}  // namespace

int32_t RegistryKey::EnumKey(uint32_t index, std::u16string& name) const {
  if (!state_) return ERROR_INVALID_HANDLE;
  if (!(state_->access & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
  if (state_->merged) {
    std::vector<ChildKey> children;
    if (int32_t result = MergedChildren(*state_, children); result) return result;
    if (index >= children.size()) return ERROR_NO_MORE_ITEMS;
    name = ToUtf16(children[index].name);
    return ERROR_SUCCESS;
  }
  std::string utf8;
  int32_t result = state_->db->ChildKeyAt(state_->key, index, utf8);
  if (result == ERROR_SUCCESS) name = ToUtf16(utf8);
  return result;
}

int32_t RegistryKey::EnumValue(uint32_t index, std::u16string& name, uint32_t* type,
                               std::vector<uint8_t>* data) const {
  if (!state_) return ERROR_INVALID_HANDLE;
  if (!(state_->access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  StoredValue value;
  if (state_->merged) {
    std::vector<StoredValue> values;
    if (int32_t result = MergedValues(*state_, values); result) return result;
    if (index >= values.size()) return ERROR_NO_MORE_ITEMS;
    value = std::move(values[index]);
  } else if (int32_t result = state_->db->ValueAt(state_->key, index, value); result) {
    return result;
  }
  name = ToUtf16(value.name);
  if (type) *type = value.type;
  if (data) *data = std::move(value.data);
  return ERROR_SUCCESS;
}

int32_t RegistryKey::QueryInfo(uint32_t* subKeyCount, uint32_t* valueCount) const {
  if (!state_) return ERROR_INVALID_HANDLE;
  if (!(state_->access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  if (state_->merged) {
    std::vector<ChildKey> children;
    std::vector<StoredValue> values;
    if (int32_t result = MergedChildren(*state_, children); result) return result;
    if (int32_t result = MergedValues(*state_, values); result) return result;
    if (subKeyCount) *subKeyCount = static_cast<uint32_t>(children.size());
    if (valueCount) *valueCount = static_cast<uint32_t>(values.size());
    return ERROR_SUCCESS;
  }
  return state_->db->Counts(state_->key, subKeyCount, valueCount);
}

// ---- Typed shortcuts

int32_t RegistryKey::GetString(std::u16string_view name, std::u16string& value) const {
  uint32_t type = REG_NONE;
  std::vector<uint8_t> data;
  if (int32_t result = QueryValue(name, &type, data); result) return result;
  if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ) return ERROR_INVALID_PARAMETER;
  value = DecodeRegString(data.data(), data.size());
  return ERROR_SUCCESS;
}

int32_t RegistryKey::GetDword(std::u16string_view name, uint32_t& value) const {
  uint32_t type = REG_NONE;
  std::vector<uint8_t> data;
  if (int32_t result = QueryValue(name, &type, data); result) return result;
  if ((type != REG_DWORD && type != REG_BINARY) || data.size() != 4) return ERROR_INVALID_PARAMETER;
  value = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
          static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
  return ERROR_SUCCESS;
}

int32_t RegistryKey::GetQword(std::u16string_view name, uint64_t& value) const {
  uint32_t type = REG_NONE;
  std::vector<uint8_t> data;
  if (int32_t result = QueryValue(name, &type, data); result) return result;
  if ((type != REG_QWORD && type != REG_BINARY) || data.size() != 8) return ERROR_INVALID_PARAMETER;
  value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | data[static_cast<size_t>(i)];
  return ERROR_SUCCESS;
}

int32_t RegistryKey::GetMultiString(std::u16string_view name, std::vector<std::u16string>& value) const {
  uint32_t type = REG_NONE;
  std::vector<uint8_t> data;
  if (int32_t result = QueryValue(name, &type, data); result) return result;
  if (type != REG_MULTI_SZ) return ERROR_INVALID_PARAMETER;
  value = DecodeRegMultiString(data.data(), data.size());
  return ERROR_SUCCESS;
}

int32_t RegistryKey::SetString(std::u16string_view name, std::u16string_view value, uint32_t type) {
  if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_PARAMETER;
  std::vector<uint8_t> data = EncodeRegString(value);
  return SetValue(name, type, data.data(), static_cast<uint32_t>(data.size()));
}

int32_t RegistryKey::SetDword(std::u16string_view name, uint32_t value) {
  uint8_t data[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                     static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  return SetValue(name, REG_DWORD, data, 4);
}

int32_t RegistryKey::SetQword(std::u16string_view name, uint64_t value) {
  uint8_t data[8];
  for (int i = 0; i < 8; ++i) data[i] = static_cast<uint8_t>(value >> (8 * i));
  return SetValue(name, REG_QWORD, data, 8);
}

int32_t RegistryKey::SetMultiString(std::u16string_view name, const std::vector<std::u16string>& value) {
  std::vector<uint8_t> data = EncodeRegMultiString(value);
  return SetValue(name, REG_MULTI_SZ, data.data(), static_cast<uint32_t>(data.size()));
}

// ---- Free functions

int32_t RegGetUSValue(std::u16string_view subKey, std::u16string_view valueName, uint32_t* type,
                      std::vector<uint8_t>& data, bool ignoreCurrentUser) {
  int32_t result = ERROR_FILE_NOT_FOUND;
  if (!ignoreCurrentUser) {
    RegistryKey user;
    result = RegistryKey::Open(HKEY_CURRENT_USER, subKey, KEY_QUERY_VALUE, user);
    if (result == ERROR_SUCCESS) result = user.QueryValue(valueName, type, data);
    if (result == ERROR_SUCCESS) return result;
  }
  RegistryKey machine;
  result = RegistryKey::Open(HKEY_LOCAL_MACHINE, subKey, KEY_QUERY_VALUE, machine);
  if (result == ERROR_SUCCESS) result = machine.QueryValue(valueName, type, data);
  return result;
}

std::vector<uint8_t> EncodeRegString(std::u16string_view text) { return Utf16Bytes(text, true); }

std::vector<uint8_t> EncodeRegMultiString(const std::vector<std::u16string>& texts) {
  std::vector<uint8_t> bytes;
  for (const std::u16string& text : texts) {
    std::vector<uint8_t> one = Utf16Bytes(text, true);
    bytes.insert(bytes.end(), one.begin(), one.end());
  }
  bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

std::u16string DecodeRegString(const uint8_t* data, size_t size) {
  std::u16string text;
  for (size_t i = 0; i + 1 < size; i += 2) {
    char16_t c = static_cast<char16_t>(data[i] | data[i + 1] << 8);
    if (c == 0) break;
    text += c;
  }
  return text;
}

std::vector<std::u16string> DecodeRegMultiString(const uint8_t* data, size_t size) {
  std::vector<std::u16string> texts;
  std::u16string current;
  for (size_t i = 0; i + 1 < size; i += 2) {
    char16_t c = static_cast<char16_t>(data[i] | data[i + 1] << 8);
    if (c != 0) {
      current += c;
      continue;
    }
    if (current.empty()) break;  // the empty string that ends the list
    texts.push_back(std::move(current));
    current.clear();
  }
  if (!current.empty()) texts.push_back(std::move(current));  // a list missing its terminator
  return texts;
}

}  // namespace Kestrilon::Platform
