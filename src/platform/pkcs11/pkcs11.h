#pragma once
// PKCS#11 modules: the key providers of this platform.
//
// A module is a shared library loaded for one operation and released with it; sessions and object
// searches are closed by their owners. Only what reading a key's certificates needs is offered.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Kestrilon::Platform {

using Pkcs11SlotId = unsigned long;
using Pkcs11ObjectHandle = unsigned long;
using Pkcs11AttributeType = unsigned long;

// Object classes and attributes, with the values PKCS#11 gives them.
inline constexpr unsigned long kPkcs11ClassCertificate = 0x01;  // CKO_CERTIFICATE
inline constexpr unsigned long kPkcs11ClassPublicKey = 0x02;    // CKO_PUBLIC_KEY
inline constexpr unsigned long kPkcs11ClassPrivateKey = 0x03;   // CKO_PRIVATE_KEY
inline constexpr unsigned long kPkcs11CertificateX509 = 0x00;   // CKC_X_509
inline constexpr Pkcs11AttributeType kPkcs11AttributeClass = 0x000;            // CKA_CLASS
inline constexpr Pkcs11AttributeType kPkcs11AttributeValue = 0x011;            // CKA_VALUE
inline constexpr Pkcs11AttributeType kPkcs11AttributeCertificateType = 0x080;  // CKA_CERTIFICATE_TYPE
inline constexpr Pkcs11AttributeType kPkcs11AttributeId = 0x102;               // CKA_ID

class Pkcs11Session;

class Pkcs11Module {
 public:
  // Loads the library and initialises it; nullptr (with a reason) when it cannot be loaded, is no
  // PKCS#11 module, or refuses to start.
  static std::unique_ptr<Pkcs11Module> Load(const std::filesystem::path& library, std::string* error = nullptr);
  ~Pkcs11Module();  // finalises the module (when this owner started it) and unloads it
  Pkcs11Module(const Pkcs11Module&) = delete;
  Pkcs11Module& operator=(const Pkcs11Module&) = delete;

  // The slots that hold an initialised token, in the module's order.
  std::vector<Pkcs11SlotId> SlotsWithToken() const;
  // A read-only public session on a slot; nullptr when the token refuses it.
  std::unique_ptr<Pkcs11Session> OpenSession(Pkcs11SlotId slot) const;

  struct Library;  // private to platform/pkcs11

 private:
  explicit Pkcs11Module(std::unique_ptr<Library> library);
  std::unique_ptr<Library> library_;
};

class Pkcs11Session {
 public:
  ~Pkcs11Session();  // closes the session
  Pkcs11Session(const Pkcs11Session&) = delete;
  Pkcs11Session& operator=(const Pkcs11Session&) = delete;

  // Every object the session sees, in the token's order (the search is finished before returning).
  std::vector<Pkcs11ObjectHandle> FindAllObjects() const;
  // An attribute's bytes; nullopt when the object has no such attribute or will not reveal it.
  std::optional<std::vector<uint8_t>> Attribute(Pkcs11ObjectHandle object, Pkcs11AttributeType type) const;
  // A CK_ULONG attribute (class, certificate type).
  std::optional<unsigned long> UlongAttribute(Pkcs11ObjectHandle object, Pkcs11AttributeType type) const;

 private:
  friend class Pkcs11Module;
  Pkcs11Session(const Pkcs11Module::Library& library, unsigned long handle);
  const Pkcs11Module::Library& library_;
  unsigned long handle_;
};

}  // namespace Kestrilon::Platform
