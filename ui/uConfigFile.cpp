#include "ui/uConfigFile.h"

#include <INIReader.h>

#include <fstream>

namespace tavex {

namespace {

bool ReadBounded(const std::string& Path, std::string& Text) {
  std::ifstream in(Path, std::ios::binary);
  if (!in) return false;
  Text.resize(TConfigFile::kMaxBytes + 1);
  in.read(Text.data(), static_cast<std::streamsize>(Text.size()));
  const std::streamsize got = in.gcount();
  if (got < 0 || static_cast<size_t>(got) > TConfigFile::kMaxBytes) {
    Text.clear();
    return false;
  }
  Text.resize(static_cast<size_t>(got));
  return true;
}

// The INI reader joins the values of a repeated key with line breaks; the
// first one is the key's value.
std::string FirstValue(const INIReader& Ini, const std::string& Section, const std::string& Key) {
  std::string v = Ini.Get(Section, Key, "");
  const size_t nl = v.find('\n');
  if (nl != std::string::npos) v.erase(nl);
  return v;
}

}  // namespace

bool LoadConfigFile(const std::string& Path, TConfigFile& Config) {
  Config = TConfigFile{};
  std::string text;
  if (!ReadBounded(Path, text)) return false;
  // Malformed lines only cost themselves: the reader goes on after them.
  INIReader ini(text.data(), text.size());
  if (ini.ParseError() < 0) return false;
  Config.Password = FirstValue(ini, "General", "Password");
  for (size_t n = 0; n < TConfigFile::kMaxEntries; ++n) {
    const std::string key = "Var" + std::to_string(n);
    if (!ini.HasValue("Variables", key)) break;
    Config.Entries.push_back(FirstValue(ini, "Variables", key));
  }
  return true;
}

}  // namespace tavex
