// Loading a PKCS#11 module, its sessions and object searches.
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>

#include <cstring>

#include "platform/pkcs11/pkcs11.h"

namespace Kestrilon::Platform {

struct Pkcs11Module::Library {
  void* handle = nullptr;
  CK_FUNCTION_LIST_PTR functions = nullptr;
  bool initialised = false;  // by this owner, so it is finalised by it

  ~Library() {
    if (initialised) functions->C_Finalize(nullptr);
    if (handle) dlclose(handle);
  }
};

namespace {

// Ends an object search however the reading leaves it.
class ObjectSearch {
 public:
  ObjectSearch(CK_FUNCTION_LIST_PTR functions, CK_SESSION_HANDLE session) : functions_(functions), session_(session) {
    active_ = functions_->C_FindObjectsInit(session_, nullptr, 0) == CKR_OK;
  }
  ~ObjectSearch() {
    if (active_) functions_->C_FindObjectsFinal(session_);
  }
  ObjectSearch(const ObjectSearch&) = delete;
  ObjectSearch& operator=(const ObjectSearch&) = delete;

  std::vector<Pkcs11ObjectHandle> ReadAll() {
    std::vector<Pkcs11ObjectHandle> objects;
    if (!active_) return objects;
    CK_OBJECT_HANDLE batch[32];
    for (;;) {
      CK_ULONG count = 0;
      if (functions_->C_FindObjects(session_, batch, 32, &count) != CKR_OK || count == 0) break;
      objects.insert(objects.end(), batch, batch + count);
    }
    return objects;
  }

 private:
  CK_FUNCTION_LIST_PTR functions_;
  CK_SESSION_HANDLE session_;
  bool active_ = false;
};

}  // namespace

std::unique_ptr<Pkcs11Module> Pkcs11Module::Load(const std::filesystem::path& library, std::string* error) {
  auto fail = [&](std::string why) -> std::unique_ptr<Pkcs11Module> {
    if (error) *error = std::move(why);
    return nullptr;
  };
  if (library.empty()) return fail("no module named");
  auto owner = std::make_unique<Library>();
  owner->handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!owner->handle) {
    const char* why = dlerror();
    return fail(why ? why : "the module cannot be loaded");
  }
  auto getFunctionList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(owner->handle, "C_GetFunctionList"));
  if (!getFunctionList || getFunctionList(&owner->functions) != CKR_OK || !owner->functions) {
    return fail("the library is no PKCS#11 module");
  }
  CK_C_INITIALIZE_ARGS args;
  std::memset(&args, 0, sizeof args);
  args.flags = CKF_OS_LOCKING_OK;
  const CK_RV started = owner->functions->C_Initialize(&args);
  if (started == CKR_OK) {
    owner->initialised = true;
  } else if (started != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
    return fail("the module refuses to start (CK_RV " + std::to_string(started) + ")");
  }
  return std::unique_ptr<Pkcs11Module>(new Pkcs11Module(std::move(owner)));
}

Pkcs11Module::Pkcs11Module(std::unique_ptr<Library> library) : library_(std::move(library)) {}
Pkcs11Module::~Pkcs11Module() = default;

std::vector<Pkcs11SlotId> Pkcs11Module::SlotsWithToken() const {
  CK_FUNCTION_LIST_PTR f = library_->functions;
  // The list can grow between the two calls (a token plugged in): ask again while it does not fit.
  for (int attempt = 0; attempt < 4; ++attempt) {
    CK_ULONG count = 0;
    if (f->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK) return {};
    std::vector<CK_SLOT_ID> slots(count);
    if (count == 0) return {};
    const CK_RV rv = f->C_GetSlotList(CK_TRUE, slots.data(), &count);
    if (rv == CKR_BUFFER_TOO_SMALL) continue;
    if (rv != CKR_OK) return {};
    slots.resize(count);
    // A slot whose token was never initialised (a blank card) holds no keys.
    std::vector<Pkcs11SlotId> initialised;
    for (CK_SLOT_ID slot : slots) {
      CK_TOKEN_INFO info;
      if (f->C_GetTokenInfo(slot, &info) == CKR_OK && (info.flags & CKF_TOKEN_INITIALIZED)) initialised.push_back(slot);
    }
    return initialised;
  }
  return {};
}

std::unique_ptr<Pkcs11Session> Pkcs11Module::OpenSession(Pkcs11SlotId slot) const {
  CK_SESSION_HANDLE session = 0;
  if (library_->functions->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session) != CKR_OK) {
    return nullptr;
  }
  return std::unique_ptr<Pkcs11Session>(new Pkcs11Session(*library_, session));
}

Pkcs11Session::Pkcs11Session(const Pkcs11Module::Library& library, unsigned long handle)
    : library_(library), handle_(handle) {}

Pkcs11Session::~Pkcs11Session() { library_.functions->C_CloseSession(handle_); }

std::vector<Pkcs11ObjectHandle> Pkcs11Session::FindAllObjects() const {
  return ObjectSearch(library_.functions, handle_).ReadAll();
}

std::optional<std::vector<uint8_t>> Pkcs11Session::Attribute(Pkcs11ObjectHandle object,
                                                            Pkcs11AttributeType type) const {
  CK_ATTRIBUTE attribute{type, nullptr, 0};
  if (library_.functions->C_GetAttributeValue(handle_, object, &attribute, 1) != CKR_OK ||
      attribute.ulValueLen == CK_UNAVAILABLE_INFORMATION) {
    return std::nullopt;
  }
  std::vector<uint8_t> value(attribute.ulValueLen);
  attribute.pValue = value.data();
  if (library_.functions->C_GetAttributeValue(handle_, object, &attribute, 1) != CKR_OK) return std::nullopt;
  value.resize(attribute.ulValueLen);
  return value;
}

std::optional<unsigned long> Pkcs11Session::UlongAttribute(Pkcs11ObjectHandle object,
                                                          Pkcs11AttributeType type) const {
  CK_ULONG value = 0;
  CK_ATTRIBUTE attribute{type, &value, sizeof value};
  if (library_.functions->C_GetAttributeValue(handle_, object, &attribute, 1) != CKR_OK ||
      attribute.ulValueLen != sizeof value) {
    return std::nullopt;
  }
  return value;
}

}  // namespace Kestrilon::Platform
