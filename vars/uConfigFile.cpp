#include "vars/uConfigFile.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <system_error>

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

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// Names are compared without regard to case, ASCII letters only (a name in
// another script is compared as written).
std::string Folded(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string_view Unquoted(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    return v.substr(1, v.size() - 2);
  return v;
}

// One key's first value, where it was, and the key as written.
struct TSetting {
  std::string Value;
  int Line = 0;
  std::string Key;
};

// The keys of the two sections this file has, folded, each with its first value.
struct TSections {
  std::map<std::string, TSetting> General;
  std::map<std::string, TSetting> Variables;
};

// A note while fewer than the most are kept; the others counted.
void AddNote(std::vector<TConfigNote>& Notes, size_t& LeftOut, TConfigNote::TKind Kind, int Line,
             std::string Text) {
  if (Notes.size() >= TConfigFile::kMaxNotes) {
    ++LeftOut;
    return;
  }
  Notes.push_back({Kind, Line, std::move(Text)});
}

// A bad line as a note shows it: trimmed, cut on a character's start.
std::string NoteText(std::string_view Line) {
  Line = Trim(Line);
  if (Line.size() <= TConfigFile::kMaxNoteText) return std::string(Line);
  size_t cut = TConfigFile::kMaxNoteText;
  while (cut > 0 && (static_cast<unsigned char>(Line[cut]) & 0xC0) == 0x80) --cut;
  return std::string(Line.substr(0, cut)) + "...";
}

void Parse(std::string_view Text, TSections& Out, int& BadLine, TConfigFile& Config) {
  static constexpr std::string_view kBom = "\xEF\xBB\xBF";
  if (Text.substr(0, kBom.size()) == kBom) Text.remove_prefix(kBom.size());
  std::map<std::string, TSetting>* section = nullptr;  // a section we do not read
  int lineNo = 0;
  while (!Text.empty()) {
    ++lineNo;
    const size_t end = Text.find('\n');
    std::string_view line = Text.substr(0, end);
    Text.remove_prefix(end == std::string_view::npos ? Text.size() : end + 1);
    const auto bad = [&] {
      if (BadLine == 0) BadLine = lineNo;
      AddNote(Config.Notes, Config.NotesLeftOut, TConfigNote::TKind::BadLine, lineNo, NoteText(line));
    };
    if (line.size() > TConfigFile::kMaxLineBytes) {
      bad();
      continue;
    }
    line = Trim(line);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      const size_t close = line.find(']');
      if (close == std::string_view::npos) bad();
      const std::string name = Folded(Trim(line.substr(1, close == std::string_view::npos ? line.size() - 1 : close - 1)));
      section = name == "general" ? &Out.General : name == "variables" ? &Out.Variables : nullptr;
      continue;
    }
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
      bad();
      continue;
    }
    if (section == nullptr) continue;
    // emplace keeps the first value of a key given twice.
    const std::string_view key = Trim(line.substr(0, eq));
    section->emplace(Folded(key), TSetting{std::string(Unquoted(Trim(line.substr(eq + 1)))), lineNo,
                                           std::string(key)});
  }
}

}  // namespace

bool LoadConfigText(std::string_view Text, TConfigFile& Config, int* BadLine) {
  Config = TConfigFile{};
  if (BadLine != nullptr) *BadLine = 0;
  if (Text.size() > TConfigFile::kMaxBytes) return false;
  TSections sections;
  int bad = 0;
  // The bad lines' notes first (at most the most kept), then the entries'.
  std::vector<TConfigNote> entryNotes;
  size_t entryLeftOut = 0;
  Parse(Text, sections, bad, Config);
  if (BadLine != nullptr) *BadLine = bad;
  if (auto it = sections.General.find("password"); it != sections.General.end())
    Config.Password = it->second.Value;
  for (size_t n = 0; n < TConfigFile::kMaxEntries; ++n) {
    auto it = sections.Variables.find("var" + std::to_string(n));
    if (it == sections.Variables.end()) break;
    if (it->second.Value.empty())
      AddNote(entryNotes, entryLeftOut, TConfigNote::TKind::EmptyEntry, it->second.Line, it->second.Key);
    else
      Config.Entries.push_back(std::move(it->second.Value));
    sections.Variables.erase(it);
    Config.Numbered = n + 1;
  }
  // What is left of [Variables] is not read: keys past a gap, beyond the
  // most entries, or no VarN at all.
  for (const auto& [folded, setting] : sections.Variables) {
    (void)folded;
    AddNote(entryNotes, entryLeftOut, TConfigNote::TKind::NotRead, setting.Line, setting.Key);
  }
  Config.Notes.insert(Config.Notes.end(), entryNotes.begin(), entryNotes.end());
  std::stable_sort(Config.Notes.begin(), Config.Notes.end(),
                   [](const TConfigNote& a, const TConfigNote& b) { return a.Line < b.Line; });
  Config.NotesLeftOut += entryLeftOut;
  if (Config.Notes.size() > TConfigFile::kMaxNotes) {
    Config.NotesLeftOut += Config.Notes.size() - TConfigFile::kMaxNotes;
    Config.Notes.resize(TConfigFile::kMaxNotes);
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

namespace {

// An environment value the XDG rules accept as a folder: set and absolute.
bool IsUsableFolder(const char* Value) { return Value != nullptr && Value[0] == '/'; }

bool IsFile(const std::string& Path) {
  if (Path.empty()) return false;
  std::error_code ec;
  const auto status = std::filesystem::status(Path, ec);
  return !ec && std::filesystem::exists(status) && !std::filesystem::is_directory(status);
}

}  // namespace

TConfigFilePlaces ConfigFilePlaces(const std::string& ProgramPath, const std::string& FileName,
                                   const char* XdgConfigHome, const char* Home) {
  TConfigFilePlaces places;
  if (!ProgramPath.empty()) places.Beside = std::filesystem::path(ProgramPath).replace_extension(".ini").string();
  std::filesystem::path folder;
  if (IsUsableFolder(XdgConfigHome))
    folder = XdgConfigHome;
  else if (IsUsableFolder(Home))
    folder = std::filesystem::path(Home) / ".config";
  if (!folder.empty() && !FileName.empty()) places.User = (folder / "tavex" / FileName).string();
  return places;
}

std::string FindConfigFile(const TConfigFilePlaces& Places) {
  if (IsFile(Places.Beside)) return Places.Beside;
  if (IsFile(Places.User)) return Places.User;
  return {};
}

}  // namespace tavex
