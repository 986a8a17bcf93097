#include "platform/machine/image_builder.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <system_error>

#include <nlohmann/json.hpp>

#include "platform/registry/registry.h"
#include "platform/pe/pe.h"
#include "platform/text/text.h"

namespace Kestrilon::Platform {

namespace {

namespace fs = std::filesystem;

// Host path of a Windows path below C:\ ("Program Files\X" -> root/drive_c/Program Files/X).
fs::path OnDriveC(const fs::path& root, std::u16string_view windowsPath) {
  std::string relative = ToUtf8(windowsPath);
  for (char& c : relative)
    if (c == '\\') c = '/';
  return root / "drive_c" / relative;
}

std::u16string Join(std::u16string_view a, std::u16string_view b) {
  std::u16string out(a);
  out += u'\\';
  out += b;
  return out;
}

// The folders of one machine, as Windows paths without the drive.
struct Layout {
  std::u16string windows, system, sysWow64, temp;
  std::u16string programFiles, programFilesX86;  // x86 empty on 32-bit Windows
  std::u16string assistant;                      // the assistant's own folder
  std::u16string programData, allUsers, publicFolder, profilesFolder;
  std::u16string profile, roaming, local, userTemp, cache, cookies, history, desktop, documents;
};

Layout MakeLayout(const ProfileDefinition& definition, const std::u16string& user) {
  Layout l;
  const MachineProfile& p = definition.profile;
  l.windows = definition.windowsFolder;
  l.system = Join(l.windows, definition.systemFolder);
  if (p.native64) l.sysWow64 = Join(l.windows, u"SysWOW64");
  l.temp = Join(l.windows, u"Temp");
  l.programFiles = u"Program Files";
  if (p.native64) l.programFilesX86 = u"Program Files (x86)";
  l.assistant = Join(p.native64 ? l.programFilesX86 : l.programFiles, u"Kestrilon\\Assistant");
  if (definition.usersFolder) {
    l.profilesFolder = u"Users";
    l.programData = u"ProgramData";
    l.allUsers = l.programData;
    l.publicFolder = u"Users\\Public";
    l.profile = Join(l.profilesFolder, user);
    l.roaming = Join(l.profile, u"AppData\\Roaming");
    l.local = Join(l.profile, u"AppData\\Local");
    l.userTemp = Join(l.local, u"Temp");
    l.history = Join(l.local, u"Microsoft\\Windows\\History");
    l.documents = Join(l.profile, u"Documents");
  } else {
    l.profilesFolder = u"Documents and Settings";
    l.allUsers = u"Documents and Settings\\All Users";
    l.programData = Join(l.allUsers, u"Application Data");
    l.profile = Join(l.profilesFolder, user);
    l.roaming = Join(l.profile, u"Application Data");
    l.local = Join(l.profile, u"Local Settings\\Application Data");
    l.userTemp = Join(l.profile, u"Local Settings\\Temp");
    l.history = Join(l.profile, u"Local Settings\\History");
    l.documents = Join(l.profile, u"My Documents");
  }
  l.cache = Join(l.profile, definition.cacheFolder);
  l.cookies = Join(l.profile, definition.cookiesFolder);
  l.desktop = Join(l.profile, u"Desktop");
  return l;
}

std::u16string C(std::u16string_view path) { return Join(u"C:", path); }

// The profile-relative form User Shell Folders keep ("%USERPROFILE%\AppData\Roaming").
std::u16string UserRelative(const Layout& l, const std::u16string& path) {
  return u"%USERPROFILE%" + path.substr(l.profile.size());
}

constexpr const char* kLauncherScript = R"sh(#!/bin/sh
# Internet Explorer of this machine image: opens the address it is given in the desktop's web browser,
# the first command of $BROWSER (commands separated by colons) that works, else xdg-open.
while [ $# -gt 0 ]; do
  case "$1" in -*) shift ;; *) break ;; esac   # options such as -nohome come first
done
url="$*"   # an address with spaces arrives in several pieces
[ -n "$url" ] || exit 0
if [ -n "${BROWSER:-}" ]; then
  saved_ifs=$IFS
  IFS=:
  for browser in $BROWSER; do
    IFS=$saved_ifs
    [ -n "$browser" ] || continue
    $browser "$url" && exit 0
  done
  IFS=$saved_ifs
fi
exec xdg-open "$url"
)sh";

class Builder {
 public:
  Builder(const fs::path& root, const ProfileDefinition& definition, const std::u16string& user)
      : root_(root), definition_(definition), profile_(definition.profile), user_(user),
        layout_(MakeLayout(definition, user)) {}

  bool Run(std::string* error) {
    error_ = error;
    return Folders() && Links() && SystemFiles() && Registry() && ProfileFile();
  }

 private:
  bool Fail(const std::string& why) {
    if (error_) *error_ = why;
    return false;
  }

  bool MakeFolder(std::u16string_view windowsPath) {
    std::error_code ec;
    fs::create_directories(OnDriveC(root_, windowsPath), ec);
    return !ec || Fail("cannot create " + ToUtf8(windowsPath) + ": " + ec.message());
  }

  bool Folders() {
    const Layout& l = layout_;
    for (const std::u16string* folder :
         {&l.system, &l.temp, &l.programFiles, &l.programData, &l.allUsers, &l.profile, &l.roaming, &l.local,
          &l.userTemp, &l.cache, &l.cookies, &l.history, &l.desktop, &l.documents}) {
      if (!MakeFolder(*folder)) return false;
    }
    if (!l.publicFolder.empty() && !MakeFolder(l.publicFolder)) return false;
    if (!MakeFolder(Join(l.system, u"drivers\\etc"))) return false;
    if (!MakeFolder(Join(l.programFiles, u"Common Files"))) return false;
    if (!MakeFolder(Join(l.programFiles, u"Internet Explorer"))) return false;
    if (profile_.native64) {
      if (!MakeFolder(l.sysWow64) || !MakeFolder(Join(l.programFilesX86, u"Common Files")) ||
          !MakeFolder(Join(l.programFilesX86, u"Internet Explorer")) || !MakeFolder(Join(l.programFilesX86, u"Kestrilon")))
        return false;
    } else if (!MakeFolder(Join(l.programFiles, u"Kestrilon"))) {
      return false;
    }
    std::error_code ec;
    fs::create_directories(root_ / "dosdevices", ec);
    return !ec || Fail("cannot create dosdevices: " + ec.message());
  }

  bool Link(const fs::path& target, const fs::path& link) {
    std::error_code ec;
    fs::create_symlink(target, link, ec);
    return !ec || Fail("cannot link " + link.string() + " to " + target.string() + ": " + ec.message());
  }

  bool Links() {
    // Relative, so the image can be moved; the hosts file is the real machine's, so checks protect it.
    if (!Link("../drive_c", root_ / "dosdevices" / "c:")) return false;
    if (!Link("/etc/hosts", OnDriveC(root_, Join(layout_.system, u"drivers\\etc\\hosts")))) return false;
    // The assistant's folder is the folder the program runs from, so the self-update replaces it.
    fs::path program = ProgramFolder();
    if (program.empty()) return MakeFolder(layout_.assistant);
    return Link(program, OnDriveC(root_, layout_.assistant));
  }

  bool WriteLauncher(std::u16string_view programFiles) {
    fs::path file = OnDriveC(root_, Join(programFiles, u"Internet Explorer\\iexplore.exe"));
    {
      std::ofstream out(file, std::ios::binary | std::ios::trunc);
      out << kLauncherScript;
      if (!out.flush()) return Fail("cannot write " + file.string());
    }
    std::error_code ec;
    fs::permissions(file, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec, ec);
    return !ec || Fail("cannot make " + file.string() + " executable: " + ec.message());
  }

  bool SystemFiles() {
    if (!WriteLauncher(layout_.programFiles)) return false;
    if (profile_.native64 && !WriteLauncher(layout_.programFilesX86)) return false;
    FixedFileInfo info = MakeFixedFileInfo(static_cast<uint16_t>(profile_.majorVersion),
                                           static_cast<uint16_t>(profile_.minorVersion),
                                           static_cast<uint16_t>(profile_.buildNumber), definition_.revision, VFT_DLL);
    if (!WritePeWithVersion(OnDriveC(root_, Join(layout_.system, u"kernel32.dll")), info, profile_.native64))
      return Fail("cannot write kernel32.dll");
    if (profile_.native64 && !WritePeWithVersion(OnDriveC(root_, Join(layout_.sysWow64, u"kernel32.dll")), info, false))
      return Fail("cannot write the 32-bit kernel32.dll");
    return true;
  }

  // ---- registry

  // Both views on 64-bit Windows (the keys Windows keeps a 32-bit copy of), the only one otherwise.
  std::vector<uint32_t> Views() const {
    if (profile_.native64) return {KEY_WOW64_64KEY, KEY_WOW64_32KEY};
    return {0};
  }

  bool Check(int32_t result, std::u16string_view what) {
    return result == ERROR_SUCCESS || Fail("registry: cannot write " + ToUtf8(what) + " (error " +
                                           std::to_string(result) + ")");
  }

  bool OpenKey(RegistryRoot root, std::u16string_view path, uint32_t view, RegistryKey& key) {
    return Check(RegistryKey::Create(root, path, KEY_ALL_ACCESS | view, key), path);
  }

  struct Entry {
    std::u16string name;
    uint32_t type;
    std::u16string text;  // REG_SZ, REG_EXPAND_SZ
    uint32_t number = 0;  // REG_DWORD
  };

  static Entry Sz(std::u16string name, std::u16string text) { return {std::move(name), REG_SZ, std::move(text)}; }
  static Entry Expand(std::u16string name, std::u16string text) {
    return {std::move(name), REG_EXPAND_SZ, std::move(text)};
  }
  static Entry Dword(std::u16string name, uint32_t value) { return {std::move(name), REG_DWORD, {}, value}; }

  bool Write(RegistryRoot root, std::u16string_view path, const std::vector<Entry>& entries, uint32_t view = 0) {
    RegistryKey key;
    if (!OpenKey(root, path, view, key)) return false;
    for (const Entry& entry : entries) {
      int32_t result = entry.type == REG_DWORD ? key.SetDword(entry.name, entry.number)
                                               : key.SetString(entry.name, entry.text, entry.type);
      if (!Check(result, Join(path, entry.name))) return false;
    }
    return true;
  }

  bool Registry() {
    RegistryLocation location{root_ / kRegistryFileName, profile_.native64, profile_.wow64Process,
                              std::u16string(kImageUserSid)};
    RegistryScope scope(location);
    if (scope.Status() != ERROR_SUCCESS)
      return Fail("cannot create the registry (error " + std::to_string(scope.Status()) + ")");
    return VersionKeys() && FolderKeys() && EnvironmentKeys() && BrowserKeys();
  }

  bool VersionKeys() {
    const MachineProfile& p = profile_;
    std::u16string version = ToUtf16(std::to_string(p.majorVersion == 10 ? 6 : p.majorVersion) + "." +
                                     std::to_string(p.majorVersion == 10 ? 3 : p.minorVersion));
    std::u16string build = ToUtf16(std::to_string(p.buildNumber));
    std::vector<Entry> entries = {
        Sz(u"ProductName", p.productName),
        Sz(u"CurrentVersion", version),  // Windows 10 still answers 6.3 here
        Sz(u"CurrentBuildNumber", build),
        Sz(u"CurrentBuild", build),
        Sz(u"CurrentType", p.native64 || p.majorVersion > 5 ? u"Multiprocessor Free" : u"Uniprocessor Free"),
        Sz(u"SystemRoot", C(layout_.windows)),
        Sz(u"PathName", C(layout_.windows)),
        Sz(u"RegisteredOwner", user_),
        Sz(u"RegisteredOrganization", u""),
    };
    if (!p.csdVersion.empty()) entries.push_back(Sz(u"CSDVersion", p.csdVersion));
    if (!definition_.editionId.empty()) entries.push_back(Sz(u"EditionID", definition_.editionId));
    if (p.majorVersion >= 6) entries.push_back(Sz(u"InstallationType", u"Client"));
    if (p.majorVersion >= 10) {
      entries.push_back(Dword(u"CurrentMajorVersionNumber", p.majorVersion));
      entries.push_back(Dword(u"CurrentMinorVersionNumber", p.minorVersion));
      entries.push_back(Dword(u"UBR", definition_.revision));
      entries.push_back(Sz(u"ReleaseId", definition_.releaseId));
      entries.push_back(Sz(u"DisplayVersion", definition_.displayVersion));
    }
    for (uint32_t view : Views())
      if (!Write(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", entries, view)) return false;

    RegistryKey options;
    if (!OpenKey(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\ProductOptions", 0, options)) return false;
    if (!Check(options.SetString(u"ProductType", u"WinNT"), u"ProductType")) return false;
    if (!Check(options.SetMultiString(u"ProductSuite", {}), u"ProductSuite")) return false;
    return Write(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Windows",
                 {Dword(u"CSDVersion", static_cast<uint32_t>(p.servicePackMajor) << 8)});
  }

  bool FolderKeys() {
    const Layout& l = layout_;
    const bool is64 = profile_.native64;
    for (uint32_t view : Views()) {
      bool view32 = view == KEY_WOW64_32KEY;
      std::u16string programFiles = C(view32 ? l.programFilesX86 : l.programFiles);
      std::vector<Entry> entries = {
          Sz(u"ProgramFilesDir", programFiles),
          Sz(u"CommonFilesDir", Join(programFiles, u"Common Files")),
          Expand(u"ProgramFilesPath", u"%ProgramFiles%"),
      };
      if (is64) {
        entries.push_back(Sz(u"ProgramFilesDir (x86)", C(l.programFilesX86)));
        entries.push_back(Sz(u"CommonFilesDir (x86)", C(Join(l.programFilesX86, u"Common Files"))));
        entries.push_back(Sz(u"ProgramW6432Dir", C(l.programFiles)));
        entries.push_back(Sz(u"CommonW6432Dir", C(Join(l.programFiles, u"Common Files"))));
      }
      if (!Write(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", entries, view)) return false;
    }

    std::vector<Entry> profileList = {Expand(u"ProfilesDirectory", u"%SystemDrive%\\" + l.profilesFolder)};
    if (definition_.usersFolder) {
      profileList.push_back(Expand(u"ProgramData", u"%SystemDrive%\\" + l.programData));
      profileList.push_back(Expand(u"Public", u"%SystemDrive%\\" + l.publicFolder));
      profileList.push_back(Expand(u"Default", u"%SystemDrive%\\Users\\Default"));
    } else {
      profileList.push_back(Sz(u"AllUsersProfile", u"All Users"));
      profileList.push_back(Sz(u"DefaultUserProfile", u"Default User"));
    }
    const std::u16string list = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
    // Both views share ProfileList.
    if (!Write(HKEY_LOCAL_MACHINE, list, profileList)) return false;
    if (!Write(HKEY_LOCAL_MACHINE, Join(list, kImageUserSid), {Expand(u"ProfileImagePath", C(l.profile))}))
      return false;

    struct Folder {
      const char16_t* name;
      const std::u16string* path;
    };
    const Folder userFolders[] = {{u"AppData", &l.roaming}, {u"Local AppData", &l.local}, {u"Cache", &l.cache},
                                  {u"Cookies", &l.cookies}, {u"History", &l.history},     {u"Desktop", &l.desktop},
                                  {u"Personal", &l.documents}};
    std::vector<Entry> shell, userShell;
    for (const Folder& folder : userFolders) {
      shell.push_back(Sz(folder.name, C(*folder.path)));
      userShell.push_back(Expand(folder.name, UserRelative(l, *folder.path)));
    }
    const std::u16string explorer = u"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer";
    if (!Write(HKEY_CURRENT_USER, Join(explorer, u"Shell Folders"), shell)) return false;
    if (!Write(HKEY_CURRENT_USER, Join(explorer, u"User Shell Folders"), userShell)) return false;
    for (uint32_t view : Views()) {
      if (!Write(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders",
                 {Sz(u"Common AppData", C(l.programData)), Sz(u"Common Desktop", C(Join(l.allUsers, u"Desktop")))},
                 view))
        return false;
    }
    return true;
  }

  bool EnvironmentKeys() {
    const Layout& l = layout_;
    const bool is64 = profile_.native64;
    std::u16string systemRoot = u"%SystemRoot%\\" + definition_.systemFolder;
    std::vector<Entry> machine = {
        Expand(u"ComSpec", systemRoot + u"\\cmd.exe"),
        Sz(u"OS", u"Windows_NT"),
        Expand(u"Path", systemRoot + u";%SystemRoot%;" + systemRoot + u"\\Wbem"),
        Sz(u"PATHEXT", u".COM;.EXE;.BAT;.CMD;.VBS;.VBE;.JS;.JSE;.WSF;.WSH"),
        Sz(u"PROCESSOR_ARCHITECTURE", is64 ? u"AMD64" : u"x86"),
        Sz(u"NUMBER_OF_PROCESSORS", ToUtf16(std::to_string(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN))))),
        Expand(u"TEMP", u"%SystemRoot%\\TEMP"),
        Expand(u"TMP", u"%SystemRoot%\\TEMP"),
        Expand(u"windir", u"%SystemRoot%"),
        Sz(u"USERNAME", u"SYSTEM"),
    };
    if (!Write(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment", machine))
      return false;
    std::u16string temp = UserRelative(l, l.userTemp);
    if (!Write(HKEY_CURRENT_USER, u"Environment", {Expand(u"TEMP", temp), Expand(u"TMP", temp)})) return false;
    std::vector<Entry> volatileEnvironment = {
        Sz(u"APPDATA", C(l.roaming)), Sz(u"HOMEDRIVE", u"C:"), Sz(u"HOMEPATH", u"\\" + l.profile),
        Sz(u"USERNAME", user_),       Sz(u"USERPROFILE", C(l.profile)),
    };
    if (definition_.usersFolder) volatileEnvironment.push_back(Sz(u"LOCALAPPDATA", C(l.local)));
    return Write(HKEY_CURRENT_USER, u"Volatile Environment", volatileEnvironment);
  }

  bool BrowserKeys() {
    const Layout& l = layout_;
    std::vector<Entry> ie = {Sz(u"Version", definition_.ieVersionValue)};
    if (!definition_.ieSvcVersion.empty()) ie.push_back(Sz(u"svcVersion", definition_.ieSvcVersion));
    for (uint32_t view : Views()) {
      if (!Write(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Internet Explorer", ie, view)) return false;
      std::u16string folder = C(Join(view == KEY_WOW64_32KEY ? l.programFilesX86 : l.programFiles, u"Internet Explorer"));
      if (!Write(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\IEXPLORE.EXE",
                 {Sz(u"", Join(folder, u"IEXPLORE.EXE")), Sz(u"Path", folder + u";")}, view))
        return false;
    }
    return true;
  }

  bool ProfileFile() {
    const MachineProfile& p = profile_;
    nlohmann::json json = {
        {"profile", p.name},
        {"user", ToUtf8(user_)},
        {"native64", p.native64},
        {"wow64Process", p.wow64Process},
        {"majorVersion", p.majorVersion},
        {"minorVersion", p.minorVersion},
        {"buildNumber", p.buildNumber},
        {"servicePackMajor", p.servicePackMajor},
        {"servicePackMinor", p.servicePackMinor},
        {"productType", p.productType},
        {"suiteMask", p.suiteMask},
        {"productName", ToUtf8(p.productName)},
        {"csdVersion", ToUtf8(p.csdVersion)},
        {"ieVersion", ToUtf8(p.ieVersion)},
    };
    fs::path file = root_ / kProfileFileName;
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << json.dump(2) << '\n';
    return out.flush() ? true : Fail("cannot write " + file.string());
  }

  fs::path root_;
  const ProfileDefinition& definition_;
  const MachineProfile& profile_;
  std::u16string user_;
  Layout layout_;
  std::string* error_ = nullptr;
};

std::string LinuxUserName() {
  if (const char* sudo = std::getenv("SUDO_USER"); sudo && *sudo && std::string(sudo) != "root") return sudo;
  if (const char* pkexec = std::getenv("PKEXEC_UID"); pkexec && *pkexec) {
    if (const passwd* entry = getpwuid(static_cast<uid_t>(std::strtoul(pkexec, nullptr, 10)))) return entry->pw_name;
  }
  if (getuid() != 0)
    if (const passwd* entry = getpwuid(getuid())) return entry->pw_name;
  return "user";
}

}  // namespace

bool BuildImage(const fs::path& root, const ProfileDefinition& definition, const std::u16string& userName,
                std::string* error) {
  return Builder(root, definition, userName).Run(error);
}

std::u16string ChooseUserName() {
  std::u16string name = ToUtf16(LinuxUserName());
  for (char16_t& c : name)
    if (c < 0x20 || std::u16string_view(u"\\/:*?\"<>|").find(c) != std::u16string_view::npos) c = u'_';
  return name.empty() ? u"user" : name;
}

fs::path ProgramFolder() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::path() : exe.parent_path();
}

}  // namespace Kestrilon::Platform
