// The HKEY_CLASSES_ROOT store: an in-memory tree read from and written to one
// REGEDIT4-style file, each change atomic and serialised by a file lock.
#include "platform/Registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <thread>
#include <vector>

#include "platform/SysUtils.h"

#define QUELM_EXPORT __attribute__((visibility("default")))

namespace {

constexpr const char* kRootName = "HKEY_CLASSES_ROOT";

// Orders value names as the upper-case texts would, without building them.
struct CaseLess {
  static unsigned char Upper(char c) {
    return static_cast<unsigned char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  }
  bool operator()(const std::string& a, const std::string& b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char x, char y) { return Upper(x) < Upper(y); });
  }
};

struct Key {
  std::string path;                                  // as first written, without the root name
  std::map<std::string, std::string, CaseLess> values;  // "" is the default value
};

// Every key by its upper-case full path (the root is ""), so that lookups
// compare paths with memcmp: the paths of one branch share long prefixes, and
// a letter-by-letter comparison made deep branches slow.
class Store {
 public:
  using Map = std::map<std::string, Key>;
  using iterator = Map::iterator;
  using const_iterator = Map::const_iterator;

  size_t count(const std::string& path) const { return keys_.count(platform::UpperCase(path)); }
  iterator find(const std::string& path) { return keys_.find(platform::UpperCase(path)); }
  const_iterator find(const std::string& path) const { return keys_.find(platform::UpperCase(path)); }
  Key& operator[](const std::string& path) { return keys_[platform::UpperCase(path)]; }
  std::pair<iterator, bool> try_emplace(const std::string& path) {
    return keys_.try_emplace(platform::UpperCase(path));
  }
  size_t erase(const std::string& path) { return keys_.erase(platform::UpperCase(path)); }
  iterator erase(iterator it) { return keys_.erase(it); }
  iterator begin() { return keys_.begin(); }
  iterator end() { return keys_.end(); }
  const_iterator begin() const { return keys_.begin(); }
  const_iterator end() const { return keys_.end(); }
  size_t size() const { return keys_.size(); }
  void clear() { keys_.clear(); }

 private:
  Map keys_;
};

// ---- handles -------------------------------------------------------------------

struct OpenKey {
  std::string path;
};

std::mutex gHandleMutex;
std::set<HKEY>& LiveHandles() {
  static auto* handles = new std::set<HKEY>();  // never destroyed: handles may be closed during exit
  return *handles;
}

bool ResolveHandle(HKEY h, std::string& path) {
  if (h == HKEY_CLASSES_ROOT) {
    path.clear();
    return true;
  }
  std::lock_guard<std::mutex> lock(gHandleMutex);
  if (!LiveHandles().count(h)) return false;
  path = reinterpret_cast<OpenKey*>(h)->path;
  return true;
}

HKEY NewHandle(const std::string& path) {
  auto* k = new OpenKey{path};
  HKEY h = reinterpret_cast<HKEY>(k);
  std::lock_guard<std::mutex> lock(gHandleMutex);
  LiveHandles().insert(h);
  return h;
}

// ---- key names -----------------------------------------------------------------

bool ValidName(const std::string& name) {
  if (name.empty()) return false;
  for (unsigned char c : name)
    if (c < 0x20 || c == '[' || c == ']' || c == '\\') return false;
  return true;
}

// As deep as a key may be (the system's own limit): every ancestor is kept with
// its whole path, so a hostile file of deeper keys would cost time and memory
// quadratic in their depth.
constexpr size_t kMaxKeyDepth = 512;

// Joins a base path and a relative subkey; false for an invalid or too deep subkey.
bool JoinPath(const std::string& base, const char* sub, std::string& out) {
  out = base;
  if (!sub || !*sub) return true;
  std::string rest(sub);
  size_t depth = base.empty() ? 0 : 1 + static_cast<size_t>(std::count(base.begin(), base.end(), '\\'));
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = rest.find('\\', start);
    if (end == std::string::npos) end = rest.size();
    std::string part = rest.substr(start, end - start);
    if (!ValidName(part) || ++depth > kMaxKeyDepth) return false;
    if (!out.empty()) out += '\\';  // appended in place: deep paths stay linear
    out += part;
    start = end + 1;
  }
  return true;
}

std::string ParentOf(const std::string& path) {
  size_t p = path.rfind('\\');
  return p == std::string::npos ? std::string() : path.substr(0, p);
}

bool IsBelow(const std::string& path, const std::string& ancestor) {
  if (ancestor.empty()) return !path.empty();
  return path.size() > ancestor.size() && path[ancestor.size()] == '\\' &&
         platform::SameText(path.substr(0, ancestor.size()), ancestor);
}

// ---- file format ---------------------------------------------------------------

std::string Quote(const std::string& s) {
  std::string r = "\"";
  for (char c : s) {
    switch (c) {
      case '\\': r += "\\\\"; break;
      case '"': r += "\\\""; break;
      case '\r': r += "\\r"; break;
      case '\n': r += "\\n"; break;
      default: r += c;
    }
  }
  return r + "\"";
}

// Reads a quoted text at line[pos]; pos ends after the closing quote.
bool Unquote(const std::string& line, size_t& pos, std::string& out) {
  if (pos >= line.size() || line[pos] != '"') return false;
  out.clear();
  for (++pos; pos < line.size(); ++pos) {
    char c = line[pos];
    if (c == '"') {
      ++pos;
      return true;
    }
    if (c == '\\') {
      if (++pos >= line.size()) return false;
      char e = line[pos];
      if (e == '\\' || e == '"') out += e;
      else if (e == 'r') out += '\r';
      else if (e == 'n') out += '\n';
      else return false;
    } else {
      out += c;
    }
  }
  return false;
}

std::string Serialise(const Store& store) {
  std::string text = "REGEDIT4\n";
  for (const auto& [path, key] : store) {
    if (path.empty() && key.values.empty()) continue;  // the root's section only when it holds values
    text += "\n[" + std::string(kRootName) + (path.empty() ? "" : "\\" + key.path) + "]\n";
    for (const auto& [name, value] : key.values) text += (name.empty() ? "@" : Quote(name)) + "=" + Quote(value) + "\n";
  }
  return text;
}

bool ParseValueLine(const std::string& line, Key& key) {
  size_t pos = 0;
  std::string name, value;
  if (line[0] == '@') {
    pos = 1;
  } else if (!Unquote(line, pos, name) || name.empty()) {
    return false;
  }
  if (pos >= line.size() || line[pos] != '=') return false;
  ++pos;
  if (!Unquote(line, pos, value) || pos != line.size()) return false;
  key.values[name] = value;
  return true;
}

bool ParseKeyLine(const std::string& line, Store& store, Key*& current) {
  if (line.back() != ']') return false;
  std::string full = line.substr(1, line.size() - 2);
  std::string root = kRootName;
  if (!platform::SameText(full.substr(0, root.size()), root)) return false;
  std::string rest = full.substr(root.size());
  if (rest.empty()) {
    current = &store[""];
    return true;
  }
  std::string path;
  if (rest[0] != '\\' || !JoinPath("", rest.c_str() + 1, path) || path.empty()) return false;
  // A key already in the store has all its ancestors: stop there, else a file
  // of deep keys (as the store writes them) takes time cubic in their depth.
  for (std::string p = path; !p.empty(); p = ParentOf(p)) {
    auto [it, added] = store.try_emplace(p);
    if (!added) break;
    it->second.path = p;
  }
  current = &store[path];
  return true;
}

bool Parse(const std::string& text, Store& store) {
  store.clear();
  store[""];
  size_t pos = 0;
  bool first = true;
  Key* current = nullptr;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (first) {
      if (line != "REGEDIT4") return false;
      first = false;
      continue;
    }
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      if (!ParseKeyLine(line, store, current)) return false;
    } else if (!current || !ParseValueLine(line, *current)) {
      return false;
    }
  }
  return true;
}

// ---- the file ------------------------------------------------------------------

LONG ReadFileText(const std::string& path, std::string& text) {
  text.clear();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? static_cast<LONG>(ERROR_SUCCESS) : static_cast<LONG>(errno);
  char buf[8192];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      LONG e = errno;
      ::close(fd);
      return e;
    }
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return ERROR_SUCCESS;
}

LONG LoadStore(const std::string& path, Store& store) {
  std::string text;
  if (LONG r = ReadFileText(path, text); r != ERROR_SUCCESS) return r;
  if (text.empty()) {
    store.clear();
    store[""];
    return ERROR_SUCCESS;
  }
  return Parse(text, store) ? static_cast<LONG>(ERROR_SUCCESS) : static_cast<LONG>(ERROR_BADDB);
}

LONG MakeDirectories(const std::string& dir) {
  if (dir.empty()) return ERROR_SUCCESS;
  struct stat st;
  if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? static_cast<LONG>(ERROR_SUCCESS) : ENOTDIR;
  if (LONG r = MakeDirectories(ParentOf(dir.substr(0, dir.find_last_not_of('/') + 1))); r != ERROR_SUCCESS) return r;
  if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return errno;
  return ERROR_SUCCESS;
}

std::string DirectoryOf(const std::string& path) {
  size_t p = path.rfind('/');
  if (p == std::string::npos) return ".";
  return p == 0 ? "/" : path.substr(0, p);
}

LONG WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    done += static_cast<size_t>(n);
  }
  return ERROR_SUCCESS;
}

std::string TempName(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  return path + ".tmp." + std::to_string(::getpid()) + "." +
         std::to_string(std::hash<std::thread::id>()(std::this_thread::get_id()) % 100000) + "." +
         std::to_string(counter++);
}

// Writes the whole store to a temporary file, syncs it and renames it over the old one.
LONG SaveStore(const std::string& path, const Store& store) {
  std::string tmp = TempName(path);
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  LONG r = WriteAll(fd, Serialise(store));
  if (r == ERROR_SUCCESS && ::fsync(fd) != 0) r = errno;
  if (::close(fd) != 0 && r == ERROR_SUCCESS) r = errno;
  if (r == ERROR_SUCCESS && ::rename(tmp.c_str(), path.c_str()) != 0) r = errno;
  if (r != ERROR_SUCCESS) {
    ::unlink(tmp.c_str());
    return r;
  }
  int dfd = ::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);  // the rename itself reaches the disk; failure here loses nothing already visible
    ::close(dfd);
  }
  return ERROR_SUCCESS;
}

// An exclusive lock on "<store>.lock", held for one read-modify-write.
class FileLock {
 public:
  explicit FileLock(const std::string& storePath) {
    fd_ = ::open((storePath + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) {
      error_ = errno;
      return;
    }
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        error_ = errno;
        return;
      }
    }
  }
  ~FileLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  LONG Error() const { return error_; }

 private:
  int fd_ = -1;
  LONG error_ = ERROR_SUCCESS;
};

// Runs change on the current store under the lock; saves when it reports a change.
LONG Modify(const std::function<LONG(Store&, bool& changed)>& change) {
  try {
    std::string path = platform::RegistryPath();
    if (LONG r = MakeDirectories(DirectoryOf(path)); r != ERROR_SUCCESS) return r;
    FileLock lock(path);
    if (lock.Error() != ERROR_SUCCESS) return lock.Error();
    Store store;
    if (LONG r = LoadStore(path, store); r != ERROR_SUCCESS) return r;
    bool changed = false;
    if (LONG r = change(store, changed); r != ERROR_SUCCESS) return r;
    return changed ? SaveStore(path, store) : static_cast<LONG>(ERROR_SUCCESS);
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  } catch (...) {
    return ERROR_GEN_FAILURE;  // nothing may leave a Win32-style function as an exception
  }
}

LONG Read(const std::function<LONG(const Store&)>& query) {
  try {
    Store store;
    if (LONG r = LoadStore(platform::RegistryPath(), store); r != ERROR_SUCCESS) return r;
    return query(store);
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  } catch (...) {
    return ERROR_GEN_FAILURE;
  }
}

// Children do not sort next to their parent ("A\\B" comes after "A0"), so scan.
bool HasSubkeys(const Store& store, const std::string& path) {
  for (const auto& entry : store)
    if (IsBelow(entry.first, path)) return true;
  return false;
}

void EraseBelow(Store& store, const std::string& path) {
  for (auto it = store.begin(); it != store.end();) {
    if (IsBelow(it->first, path)) it = store.erase(it);
    else ++it;
  }
}

LONG ResolveSub(HKEY hKey, LPCSTR sub, std::string& path) {
  std::string base;
  if (!ResolveHandle(hKey, base)) return ERROR_INVALID_HANDLE;
  return JoinPath(base, sub, path) ? static_cast<LONG>(ERROR_SUCCESS) : static_cast<LONG>(ERROR_INVALID_PARAMETER);
}

}  // namespace

namespace platform {

std::string RegistryPath() {
  if (const char* p = std::getenv("QUELM_REGISTRY"); p && *p) return p;
  if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x) return std::string(x) + "/quelm/registry.reg";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : ".") + "/.local/share/quelm/registry.reg";
}

bool RegReadString(const std::string& keyPath, const std::string& valueName, std::string& value) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, keyPath.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  DWORD size = 0;
  bool ok = false;
  if (RegQueryValueExA(key, valueName.c_str(), nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS && size > 0) {
    std::string buf(size, '\0');
    if (RegQueryValueExA(key, valueName.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(buf.data()), &size) ==
        ERROR_SUCCESS) {
      buf.resize(size ? size - 1 : 0);
      value = buf;
      ok = true;
    }
  }
  RegCloseKey(key);
  return ok;
}

}  // namespace platform

extern "C" {

QUELM_EXPORT LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM, void*, PHKEY phkResult,
                                  LPDWORD lpdwDisposition) {
  if (!phkResult || !lpSubKey) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  std::string path;
  if (LONG r = ResolveSub(hKey, lpSubKey, path); r != ERROR_SUCCESS) return r;
  std::string base;
  ResolveHandle(hKey, base);
  DWORD disposition = REG_OPENED_EXISTING_KEY;
  LONG r = Modify([&](Store& store, bool& changed) -> LONG {
    if (!store.count(base)) return ERROR_KEY_DELETED;
    for (std::string p = path; !p.empty(); p = ParentOf(p)) {
      if (store.count(p)) continue;
      store[p].path = p;
      changed = true;
      if (p == path) disposition = REG_CREATED_NEW_KEY;
    }
    return ERROR_SUCCESS;
  });
  if (r != ERROR_SUCCESS) return r;
  try {
    *phkResult = NewHandle(path);
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
  if (lpdwDisposition) *lpdwDisposition = disposition;
  return ERROR_SUCCESS;
}

QUELM_EXPORT LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  std::string path;
  if (LONG r = ResolveSub(hKey, lpSubKey, path); r != ERROR_SUCCESS) return r;
  LONG r = Read([&](const Store& store) -> LONG {
    return store.count(path) ? static_cast<LONG>(ERROR_SUCCESS) : static_cast<LONG>(ERROR_FILE_NOT_FOUND);
  });
  if (r != ERROR_SUCCESS) return r;
  try {
    *phkResult = NewHandle(path);
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
  return ERROR_SUCCESS;
}

QUELM_EXPORT LONG RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  if (!lpSubKey || !*lpSubKey) return ERROR_INVALID_PARAMETER;
  std::string path;
  if (LONG r = ResolveSub(hKey, lpSubKey, path); r != ERROR_SUCCESS) return r;
  return Modify([&](Store& store, bool& changed) -> LONG {
    if (!store.count(path)) return ERROR_FILE_NOT_FOUND;
    if (HasSubkeys(store, path)) return ERROR_ACCESS_DENIED;
    store.erase(path);
    changed = true;
    return ERROR_SUCCESS;
  });
}

QUELM_EXPORT LONG RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey) {
  std::string path;
  if (LONG r = ResolveSub(hKey, lpSubKey, path); r != ERROR_SUCCESS) return r;
  bool keepKey = !lpSubKey || !*lpSubKey;
  return Modify([&](Store& store, bool& changed) -> LONG {
    if (!store.count(path)) return keepKey ? ERROR_KEY_DELETED : ERROR_FILE_NOT_FOUND;
    EraseBelow(store, path);
    if (keepKey) store[path].values.clear();
    else store.erase(path);
    changed = true;
    return ERROR_SUCCESS;
  });
}

QUELM_EXPORT LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  std::string path;
  if (!ResolveHandle(hKey, path)) return ERROR_INVALID_HANDLE;
  std::string name = lpValueName ? lpValueName : "";
  return Modify([&](Store& store, bool& changed) -> LONG {
    auto it = store.find(path);
    if (it == store.end()) return ERROR_KEY_DELETED;
    if (!it->second.values.erase(name)) return ERROR_FILE_NOT_FOUND;
    changed = true;
    return ERROR_SUCCESS;
  });
}

QUELM_EXPORT LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                                 DWORD cbData) {
  if (dwType != REG_SZ || (!lpData && cbData)) return ERROR_INVALID_PARAMETER;
  std::string path;
  if (!ResolveHandle(hKey, path)) return ERROR_INVALID_HANDLE;
  std::string name = lpValueName ? lpValueName : "";
  for (unsigned char c : name)
    if (c < 0x20) return ERROR_INVALID_PARAMETER;
  std::string value(reinterpret_cast<const char*>(lpData), cbData);
  if (size_t nul = value.find('\0'); nul != std::string::npos) value.resize(nul);
  return Modify([&](Store& store, bool& changed) -> LONG {
    auto it = store.find(path);
    if (it == store.end()) return ERROR_KEY_DELETED;
    it->second.values[name] = value;
    changed = true;
    return ERROR_SUCCESS;
  });
}

QUELM_EXPORT LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData,
                                   LPDWORD lpcbData) {
  if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
  std::string path;
  if (!ResolveHandle(hKey, path)) return ERROR_INVALID_HANDLE;
  std::string name = lpValueName ? lpValueName : "";
  return Read([&](const Store& store) -> LONG {
    auto it = store.find(path);
    if (it == store.end()) return ERROR_KEY_DELETED;
    auto v = it->second.values.find(name);
    if (v == it->second.values.end()) return ERROR_FILE_NOT_FOUND;
    DWORD need = static_cast<DWORD>(v->second.size() + 1);
    if (lpType) *lpType = REG_SZ;
    if (!lpcbData) return ERROR_SUCCESS;
    DWORD room = *lpcbData;
    *lpcbData = need;
    if (!lpData) return ERROR_SUCCESS;
    if (room < need) return ERROR_MORE_DATA;
    std::copy(v->second.begin(), v->second.end(), lpData);
    lpData[need - 1] = 0;
    return ERROR_SUCCESS;
  });
}

QUELM_EXPORT LONG RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName) {
  if (!lpName) return ERROR_INVALID_PARAMETER;
  std::string path;
  if (!ResolveHandle(hKey, path)) return ERROR_INVALID_HANDLE;
  return Read([&](const Store& store) -> LONG {
    if (!store.count(path)) return ERROR_KEY_DELETED;
    DWORD index = 0;
    for (auto it = store.begin(); it != store.end(); ++it) {
      if (!IsBelow(it->first, path) || !platform::SameText(ParentOf(it->first), path)) continue;
      if (index++ != dwIndex) continue;
      std::string name = it->second.path.substr(path.empty() ? 0 : path.size() + 1);
      if (name.size() + 1 > cchName) return ERROR_MORE_DATA;
      std::copy(name.begin(), name.end(), lpName);
      lpName[name.size()] = 0;
      return ERROR_SUCCESS;
    }
    return ERROR_NO_MORE_ITEMS;
  });
}

QUELM_EXPORT LONG RegCloseKey(HKEY hKey) {
  if (hKey == HKEY_CLASSES_ROOT) return ERROR_SUCCESS;
  {
    std::lock_guard<std::mutex> lock(gHandleMutex);
    if (!LiveHandles().erase(hKey)) return ERROR_INVALID_HANDLE;
  }
  delete reinterpret_cast<OpenKey*>(hKey);
  return ERROR_SUCCESS;
}

}  // extern "C"
