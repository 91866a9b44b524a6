// The configuration file beside the program: the controllers' password and
// the configuration entries the configuration page shows. Read only.
// Shared by the desktop tool and tavexctl, so that both read it alike.
//
// Where it is: the program file's path with ".ini" when that file exists;
// otherwise, since an installed program's folder is not the user's, the
// file of the same purpose in the user's configuration folder
// ($XDG_CONFIG_HOME/tavex, else ~/.config/tavex).
//
// The file is read by the rules of the profile files the tool was first
// written for, so that a file made for it means the same here:
// - a line is "[section]", "key=value", a comment (";" as the first
//   non-blank character) or blank; a line ends at LF, a CR before it is
//   dropped; a UTF-8 byte order mark at the very start is ignored;
// - section and key names are trimmed and matched without regard to case
//   (ASCII); a section named twice continues the first;
// - a value is trimmed, and one pair of matching surrounding quotes ("..."
//   or '...') is dropped; ";" inside a value is part of it (no inline
//   comments); an indented line is a line of its own, never a continuation;
// - of a key given twice in its section, the first value counts;
// - the entries are Var0, Var1, ... up to the first missing number; an
//   empty one ("Var2=") names nothing and is skipped, the numbering going
//   on past it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tavex {

// Something of the file that was not taken as written, for the reader's
// warnings: a line that is no setting, an empty entry, a key of
// [Variables] that is not read.
struct TConfigNote {
  enum class TKind {
    BadLine,     // none of the four kinds of line; Text: the line, trimmed and cut
    EmptyEntry,  // "VarN=" with nothing after it; Text: the key as written
    NotRead,     // a key of [Variables] past the numbering's end, or no VarN; Text: the key
  };
  TKind Kind = TKind::BadLine;
  int Line = 0;  // from 1
  std::string Text;
};

struct TConfigFile {
  // Larger files are not read at all (they cannot be a configuration file).
  static constexpr size_t kMaxBytes = 1u << 20;
  // Entries beyond this many are not read.
  static constexpr size_t kMaxEntries = 10000;
  // A longer line is no setting: it is skipped whole (counted as bad) rather
  // than cut, so that no cut value is ever taken for the real one.
  static constexpr size_t kMaxLineBytes = 64u * 1024;

  // Notes kept at most; the others are only counted.
  static constexpr size_t kMaxNotes = 20;
  // A bad line's text in a note is cut to this many bytes.
  static constexpr size_t kMaxNoteText = 80;

  std::string Password;              // [General] Password, empty when absent
  std::vector<std::string> Entries;  // [Variables] Var0, Var1, ... while contiguous, empty ones left out
  size_t Numbered = 0;               // Var0 ... Var(Numbered - 1) were there, empty ones included
  std::vector<TConfigNote> Notes;    // in line order
  size_t NotesLeftOut = 0;           // notes beyond kMaxNotes
};

// Reads the file at Path. A missing, unreadable or oversized file reads as
// empty (false). Lines that are none of the four kinds above (no "=" in
// them, a "[" without its "]", longer than kMaxLineBytes) are skipped;
// BadLine, when given, receives the number of the first of them, 1-based,
// or 0. A "[" line without its "]" still starts a section, named by the
// rest of the line.
bool LoadConfigFile(const std::string& Path, TConfigFile& Config, int* BadLine = nullptr);

// The two places a program's configuration file may be.
struct TConfigFilePlaces {
  std::string Beside;  // the program file's path, its extension replaced by ".ini"
  std::string User;    // FileName in the user's folder; empty when there is no home to use
};

// The places for the program at ProgramPath whose file in the user's folder
// is called FileName ("tavex-config.ini"). XdgConfigHome and Home are the
// environment's values (nullptr when unset); as the XDG rules say, a
// relative or empty XDG_CONFIG_HOME is ignored, and so is such a HOME.
TConfigFilePlaces ConfigFilePlaces(const std::string& ProgramPath, const std::string& FileName,
                                   const char* XdgConfigHome, const char* Home);
// The same with XDG_CONFIG_HOME and HOME from this process's environment.
// On Windows the user's folder is %LOCALAPPDATA% (when set and absolute):
// User is %LOCALAPPDATA%\tavex\FileName.
TConfigFilePlaces ConfigFilePlaces(const std::string& ProgramPath, const std::string& FileName);

// The file to read: Beside when it exists, else User when it exists, else
// empty (no configuration file: an empty password and no entries). A
// directory of that name does not count as a file.
std::string FindConfigFile(const TConfigFilePlaces& Places);

// The same over the file's text. False, and Config empty, only for a text
// over kMaxBytes.
bool LoadConfigText(std::string_view Text, TConfigFile& Config, int* BadLine = nullptr);

}  // namespace tavex
