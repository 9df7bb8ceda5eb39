// The file-backed HKEY_CLASSES_ROOT: Win32 semantics of the key and value
// functions, the file's format, damaged files, and writers in two processes.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "ComTestSupport.h"
#include "platform/Registry.h"

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

LONG SetString(const char* key, const char* name, const std::string& value) {
  HKEY h;
  LONG r = RegCreateKeyExA(HKEY_CLASSES_ROOT, key, 0, nullptr, 0, KEY_WRITE, nullptr, &h, nullptr);
  if (r != ERROR_SUCCESS) return r;
  r = RegSetValueExA(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>(value.size() + 1));
  RegCloseKey(h);
  return r;
}

TEST(Registry, CreateSetQueryAndTheFileText) {
  comtest::PrivateRegistry reg;
  HKEY h;
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, "A\\B", 0, nullptr, 0, KEY_WRITE, nullptr, &h, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  const char path[] = "C:\\x \"quoted\"\r\nline";
  ASSERT_EQ(RegSetValueExA(h, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(path), sizeof path), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(h, "Named", 0, REG_SZ, reinterpret_cast<const BYTE*>("v"), 2), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(h, "Dword", 0, 4, reinterpret_cast<const BYTE*>("abcd"), 4), ERROR_INVALID_PARAMETER);

  DWORD size = 0, type = 0;
  ASSERT_EQ(RegQueryValueExA(h, "", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, sizeof path);
  char small[4];
  DWORD smallSize = sizeof small;
  EXPECT_EQ(RegQueryValueExA(h, "", nullptr, nullptr, reinterpret_cast<BYTE*>(small), &smallSize), ERROR_MORE_DATA);
  EXPECT_EQ(smallSize, sizeof path);
  std::string value;
  ASSERT_TRUE(platform::RegReadString("a\\b", "", value)) << "key names ignore case";
  EXPECT_EQ(value, path);
  EXPECT_TRUE(platform::RegReadString("A\\B", "named", value));
  EXPECT_EQ(RegQueryValueExA(h, "Missing", nullptr, nullptr, nullptr, &size), static_cast<LONG>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(h), static_cast<LONG>(ERROR_INVALID_HANDLE)) << "a closed handle is refused, not reused";

  EXPECT_EQ(ReadAll(reg.File()),
            "REGEDIT4\n\n[HKEY_CLASSES_ROOT\\A]\n\n[HKEY_CLASSES_ROOT\\A\\B]\n"
            "@=\"C:\\\\x \\\"quoted\\\"\\r\\nline\"\n\"Named\"=\"v\"\n");
}

TEST(Registry, OpenDeleteAndTreeDelete) {
  comtest::PrivateRegistry reg;
  ASSERT_EQ(SetString("P\\Q\\R", "", "1"), ERROR_SUCCESS);
  ASSERT_EQ(SetString("P0", "", "sibling sorts between P and P\\Q"), ERROR_SUCCESS);
  HKEY h;
  EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "P\\Missing", 0, KEY_READ, &h), static_cast<LONG>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "P\\\\Q", 0, KEY_READ, &h), static_cast<LONG>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, "P"), static_cast<LONG>(ERROR_ACCESS_DENIED)) << "P has subkeys";
  EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, "P\\Q\\R"), ERROR_SUCCESS);

  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "P", 0, KEY_READ, &h), ERROR_SUCCESS);
  char name[16];
  EXPECT_EQ(RegEnumKeyA(h, 0, name, sizeof name), ERROR_SUCCESS);
  EXPECT_STREQ(name, "Q");
  EXPECT_EQ(RegEnumKeyA(h, 1, name, sizeof name), static_cast<LONG>(ERROR_NO_MORE_ITEMS));
  EXPECT_EQ(RegDeleteTreeA(HKEY_CLASSES_ROOT, "P"), ERROR_SUCCESS);
  // The open handle now names a deleted key.
  EXPECT_EQ(RegSetValueExA(h, "", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2),
            static_cast<LONG>(ERROR_KEY_DELETED));
  RegCloseKey(h);
  std::string v;
  EXPECT_FALSE(platform::RegReadString("P\\Q", "", v));
  EXPECT_TRUE(platform::RegReadString("P0", "", v)) << "deleting a tree leaves its siblings";
  EXPECT_EQ(RegDeleteTreeA(HKEY_CLASSES_ROOT, "P"), static_cast<LONG>(ERROR_FILE_NOT_FOUND));
}

TEST(Registry, DamagedStoreIsNeitherReadNorOverwritten) {
  comtest::PrivateRegistry reg;
  const std::string junk = "REGEDIT4\n\n[HKEY_CLASSES_ROOT\\K]\n@=\"unterminated\n";
  std::ofstream(reg.File()) << junk;
  std::string v;
  EXPECT_FALSE(platform::RegReadString("K", "", v));
  EXPECT_EQ(SetString("Other", "", "x"), static_cast<LONG>(ERROR_BADDB));
  EXPECT_EQ(ReadAll(reg.File()), junk) << "a store that cannot be read is left as it is";
}

TEST(Registry, DefaultLocationFollowsTheEnvironment) {
  comtest::TempDir dir;
  unsetenv("QUELM_REGISTRY");
  std::string oldXdg = getenv("XDG_DATA_HOME") ? getenv("XDG_DATA_HOME") : "";
  setenv("XDG_DATA_HOME", dir.Path().c_str(), 1);
  EXPECT_EQ(platform::RegistryPath(), dir.Path() + "/quelm/registry.reg");
  ASSERT_EQ(SetString("Here", "", "1"), ERROR_SUCCESS) << "missing folders are created";
  EXPECT_TRUE(std::filesystem::exists(dir.Path() + "/quelm/registry.reg"));
  if (oldXdg.empty()) unsetenv("XDG_DATA_HOME");
  else setenv("XDG_DATA_HOME", oldXdg.c_str(), 1);
}

// Two processes writing at once: every change of both survives (no lost update),
// and no temporary file is left behind.
TEST(Registry, TwoProcessesWritingConcurrentlyLoseNothing) {
  comtest::PrivateRegistry reg;
  constexpr int kPerProcess = 40;
  pid_t children[2];
  for (int c = 0; c < 2; ++c) {
    children[c] = fork();
    ASSERT_GE(children[c], 0);
    if (children[c] == 0) {
      int failures = 0;
      for (int i = 0; i < kPerProcess; ++i) {
        std::string key = "Race\\P" + std::to_string(c) + "\\K" + std::to_string(i);
        if (SetString(key.c_str(), "N", std::to_string(i)) != ERROR_SUCCESS) ++failures;
      }
      _exit(failures == 0 ? 0 : 1);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (int c = 0; c < 2; ++c) {
    for (int i = 0; i < kPerProcess; ++i) {
      std::string v;
      std::string key = "Race\\P" + std::to_string(c) + "\\K" + std::to_string(i);
      ASSERT_TRUE(platform::RegReadString(key, "N", v)) << key;
      EXPECT_EQ(v, std::to_string(i));
    }
  }
  for (const auto& entry : std::filesystem::directory_iterator(reg.Dir().Path()))
    EXPECT_EQ(entry.path().string().find(".tmp."), std::string::npos) << entry.path();
}

TEST(Registry, ValuesOfTheRootKeySurviveTheNextWrite) {
  comtest::PrivateRegistry reg;
  ASSERT_EQ(RegSetValueExA(HKEY_CLASSES_ROOT, "Top", 0, REG_SZ, reinterpret_cast<const BYTE*>("t"), 2), ERROR_SUCCESS);
  ASSERT_EQ(SetString("Later", "", "l"), ERROR_SUCCESS);  // a second write reads and rewrites the file
  std::string value;
  EXPECT_TRUE(platform::RegReadString("", "Top", value));
  EXPECT_EQ(value, "t");
  EXPECT_EQ(ReadAll(reg.File()), "REGEDIT4\n\n[HKEY_CLASSES_ROOT]\n\"Top\"=\"t\"\n\n[HKEY_CLASSES_ROOT\\Later]\n@=\"l\"\n");
}

// Every ancestor of a deep key is a key of its own in the file, so reading the
// file back must not walk all ancestors again for each of them.
// Keys may be as deep as the system allows and no deeper: a hostile file of
// deeper keys cannot make every later read of the registry slow.
TEST(Registry, KeysAreReadBackUpToTheDepthLimitAndRefusedBeyond) {
  comtest::PrivateRegistry reg;
  std::string deep = "D";
  for (int i = 1; i < 512; ++i) deep += "\\D";
  ASSERT_EQ(SetString(deep.c_str(), "N", "deep"), ERROR_SUCCESS);
  std::string value;
  EXPECT_TRUE(platform::RegReadString(deep, "N", value));
  EXPECT_EQ(value, "deep");
  EXPECT_NE(SetString((deep + "\\E").c_str(), "N", "deeper"), ERROR_SUCCESS);
  EXPECT_FALSE(platform::RegReadString(deep + "\\E", "N", value));
}

}  // namespace
