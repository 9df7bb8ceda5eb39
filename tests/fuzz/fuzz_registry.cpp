// Fuzz target: the registry file parser ($QUELM_REGISTRY is a file any program
// of the user may have written). The store's file-local parser is reached by
// compiling Registry.cpp into this target. A text it accepts gives a consistent
// tree (every key's parent exists), and what the store writes back reads back
// as the same keys and values.
#include "platform/posix/Registry.cpp"  // NOLINT: the parser is file-local

#include <cstddef>
#include <cstdint>

namespace {

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

bool SameStore(const Store& a, const Store& b) {
  if (a.size() != b.size()) return false;
  for (auto ia = a.begin(), ib = b.begin(); ia != a.end(); ++ia, ++ib) {
    if (!platform::SameText(ia->first, ib->first) || ia->second.path != ib->second.path) return false;
    if (ia->second.values != ib->second.values) return false;
  }
  return true;
}

// Every part of a key path is a valid name: one pass, as the paths may be long.
bool ValidPath(const std::string& path) {
  size_t partLength = 0;
  for (unsigned char c : path) {
    if (c == '\\') {
      if (partLength == 0) return false;
      partLength = 0;
    } else if (c < 0x20 || c == '[' || c == ']') {
      return false;
    } else {
      ++partLength;
    }
  }
  return partLength > 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  Store store;
  if (!Parse(text, store)) return 0;

  Require(store.count("") == 1);
  for (const auto& [path, key] : store) {
    if (path.empty()) continue;
    Require(platform::SameText(key.path, path));
    Require(store.count(ParentOf(path)) == 1);
    Require(ValidPath(path));
  }

  const std::string written = Serialise(store);
  Store reread;
  Require(Parse(written, reread));
  Require(SameStore(store, reread));
  Require(Serialise(reread) == written);
  return 0;
}
