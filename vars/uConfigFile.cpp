#include "vars/uConfigFile.h"

#include <INIReader.h>

#include <fstream>

namespace tavex {

namespace {

bool ReadBounded(const std::string& Path, std::string& Text) {
  Text.clear();
  std::ifstream in(Path, std::ios::binary);
  if (!in) return false;
  // Read as far as one byte past the limit, which tells an oversized file
  // from a full one, in steps, so that a small file costs only its size.
  char buf[16384];
  while (in) {
    in.read(buf, sizeof buf);
    const std::streamsize got = in.gcount();
    if (got <= 0) break;
    Text.append(buf, static_cast<size_t>(got));
    if (Text.size() > TConfigFile::kMaxBytes) {
      Text.clear();
      return false;
    }
  }
  return !in.bad();
}

// The INI reader joins the values of a repeated key (and the continuation
// lines of a value) with line breaks; the first one is the key's value.
std::string FirstValue(const INIReader& Ini, const std::string& Section, const std::string& Key) {
  std::string v = Ini.Get(Section, Key, "");
  const size_t nl = v.find('\n');
  if (nl != std::string::npos) v.erase(nl);
  return v;
}

}  // namespace

bool LoadConfigText(std::string_view Text, TConfigFile& Config, int* BadLine) {
  Config = TConfigFile{};
  if (BadLine != nullptr) *BadLine = 0;
  if (Text.size() > TConfigFile::kMaxBytes) return false;
  // Malformed lines only cost themselves: the reader goes on after them.
  INIReader ini(Text.data(), Text.size());
  const int error = ini.ParseError();
  if (error < 0) return false;  // the reader could not even start
  if (BadLine != nullptr) *BadLine = error;
  Config.Password = FirstValue(ini, "General", "Password");
  for (size_t n = 0; n < TConfigFile::kMaxEntries; ++n) {
    const std::string key = "Var" + std::to_string(n);
    if (!ini.HasValue("Variables", key)) break;
    Config.Entries.push_back(FirstValue(ini, "Variables", key));
  }
  return true;
}

bool LoadConfigFile(const std::string& Path, TConfigFile& Config, int* BadLine) {
  Config = TConfigFile{};
  if (BadLine != nullptr) *BadLine = 0;
  std::string text;
  if (!ReadBounded(Path, text)) return false;
  return LoadConfigText(text, Config, BadLine);
}

}  // namespace tavex
