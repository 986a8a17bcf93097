// kestrilon-machine path, version and mkpe, run as scripts run them.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "support/temp_dir.h"

namespace Kestrilon::Testing {
namespace {

namespace fs = std::filesystem;

class FileCommands : public ::testing::Test {
 protected:
  struct Result {
    int status = -1;
    std::string out;
  };
  Result Machine(const std::string& args) {
    const char* binary = std::getenv("KESTRILON_BINARY_DIR");
    const std::string tool = (fs::path(binary ? binary : ".") / "bin" / "kestrilon-machine").string();
    const std::string command = "'" + tool + "' --machine '" + image_.string() + "' " + args + " > '" +
                                (dir_ / "out").string() + "' 2>/dev/null";
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFileText(dir_ / "out")};
  }

  TempDir dir_;
  fs::path image_ = dir_ / "image";
};

TEST_F(FileCommands, MkpeThenVersion) {
  const std::string out = (dir_ / "tool.exe").string();
  ASSERT_EQ(Machine("mkpe --version 6.1.7601.17514 --pe64 '" + out + "'").status, 0);
  EXPECT_EQ(Machine("version '" + out + "'").out, "6.1.7601.17514\n");
  ASSERT_EQ(Machine("mkpe --version=65535.0.1.2 --dll 'C:\\Bank.dll'").status, 0);
  EXPECT_EQ(Machine("version 'c:\\BANK.DLL'").out, "65535.0.1.2\n");

  EXPECT_EQ(Machine("mkpe --version 1.2.3 '" + out + "'").status, 1);
  EXPECT_EQ(Machine("mkpe --version 1.2.3.4 'C:\\No Such Folder\\x.exe'").status, 1);
  EXPECT_EQ(Machine("mkpe '" + out + "'").status, 1);
  WriteFileText(dir_ / "notes.txt", "not a program");
  EXPECT_EQ(Machine("version '" + (dir_ / "notes.txt").string() + "'").status, 1);
  EXPECT_EQ(Machine("version").status, 1);
}

TEST_F(FileCommands, PathFollowsTheImageAndItsRedirection) {
  ASSERT_EQ(Machine("init --profile win10-x64").status, 0);
  const std::string system = (image_ / "dosdevices" / "c:" / "Windows").string();
  EXPECT_EQ(Machine("path 'c:\\windows\\system32\\KERNEL32.DLL'").out, system + "/SysWOW64/kernel32.dll\n");
  EXPECT_EQ(Machine("path --native 'C:/Windows/System32/kernel32.dll'").out, system + "/System32/kernel32.dll\n");
  EXPECT_EQ(Machine("version 'C:\\Windows\\System32\\kernel32.dll'").out.substr(0, 5), "10.0.");
  EXPECT_EQ(Machine("path /etc/hosts").out, "/etc/hosts\n");
  EXPECT_EQ(Machine("path 'Q:\\x'").status, 1);
  EXPECT_EQ(Machine("path").status, 1);
}

}  // namespace
}  // namespace Kestrilon::Testing
