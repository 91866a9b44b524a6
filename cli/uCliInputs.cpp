#include "cli/uCliInputs.h"

#include <algorithm>
#include <cctype>

#include "cli/uCliOutput.h"
#include "cli/uInventory.h"
#include "plc/uOperations.h"
#include "vars/uConfigFile.h"
#include "vars/uNumberText.h"

namespace tavex {

namespace {

// Bounds on what the tool reads: a configuration file is a few lines, a
// value file a few thousand rows.
constexpr size_t kMaxIniBytes = TConfigFile::kMaxBytes;
constexpr size_t kMaxCsvBytes = 8u << 20;
constexpr size_t kMaxValueRows = 100000;
constexpr size_t kMaxCsvFields = 64;
// Warnings of one kind for one file named one by one; the rest are counted.
constexpr size_t kMaxNamedWarnings = 10;

constexpr char kNumberHint[] =
    "a number: digits with an optional point and exponent, or hexadecimal after $ or 0x";

std::string Lower(std::string Text) {
  std::transform(Text.begin(), Text.end(), Text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return Text;
}

// Checks one value; Where begins the sentence ("Argument \"x=1\"").
void CheckValue(const TWriteValue& V) {
  const std::string problem = EntryTextProblem(V.Entry);
  if (!problem.empty())
    throw TUsageError{V.Where + ": " + Quoted(V.Entry) + " is not an entry: " + problem + "."};
  if (V.Value.empty())
    throw TUsageError{V.Where + " has no value for " + TerminalSafe(V.Entry) + "."};
  if (!ValidValueText(V.Value))
    throw TUsageError{V.Where + ": " + Quoted(V.Value) + " for " + TerminalSafe(V.Entry) +
                      " is not " + kNumberHint + "."};
}

// The fields of one line split by Separator (a header candidate).
std::vector<std::string> HeaderFields(std::string_view Line, char Separator) {
  std::vector<std::vector<std::string>> records;
  std::string error;
  TCsvSyntax syntax;
  syntax.Separator = Separator;
  syntax.MaxRecords = 1;
  syntax.MaxFields = kMaxCsvFields;
  if (!ParseCsv(Line, records, error, nullptr, syntax) || records.size() != 1) return {};
  std::vector<std::string> fields = records[0];
  for (auto& f : fields) f = Lower(f);
  return fields;
}

// A spreadsheet's decimal comma as a point: "1,5" -> "1.5". Only a text
// with one comma and no point; anything else stays as it is (and is refused
// when it is no number).
std::string DecimalPoint(std::string Text) {
  if (std::count(Text.begin(), Text.end(), ',') == 1 && Text.find('.') == std::string::npos)
    std::replace(Text.begin(), Text.end(), ',', '.');
  return Text;
}

}  // namespace

// --- The configuration file ---------------------------------------------------------

TIniContents LoadIni(const std::string& Path) {
  std::string text, error;
  if (!ReadSmallFile(Path, kMaxIniBytes, text, error)) throw TUsageError{error};
  // The desktop tool's reader, so that both take the same file alike.
  TConfigFile config;
  if (!LoadConfigText(text, config)) throw TUsageError{"Cannot read " + Quoted(Path) + "."};
  TIniContents out;
  out.Password = std::move(config.Password);
  for (const TConfigNote& n : config.Notes) {
    const std::string where = LineOf(static_cast<size_t>(n.Line), Path);
    switch (n.Kind) {
      case TConfigNote::TKind::BadLine:
        out.Warnings.push_back(where + " is no setting (" + Quoted(n.Text) +
                               "): neither [SECTION] nor KEY=VALUE; it is ignored.");
        break;
      case TConfigNote::TKind::EmptyEntry:
        out.Warnings.push_back(where + ": " + TerminalSafe(n.Text) +
                               " is empty; it is skipped, and the entries after it are read.");
        break;
      case TConfigNote::TKind::NotRead:
        out.Warnings.push_back(where + ": " + TerminalSafe(n.Text) +
                               " in [Variables] is not read: the entries are Var0, Var1, ... up to "
                               "the first missing number (Var" +
                               std::to_string(config.Numbered) + ").");
        break;
    }
  }
  if (config.NotesLeftOut > 0)
    out.Warnings.push_back(Quoted(Path) + " has " + std::to_string(config.NotesLeftOut) +
                           " more such line" + (config.NotesLeftOut == 1 ? "" : "s") + ".");
  // Every entry the desktop tool shows, as it shows it: one that names no
  // variable (whatever its text) shows "?" there and here.
  out.Entries = std::move(config.Entries);
  return out;
}

// --- Entries and values -------------------------------------------------------------

std::string EntryTextProblem(std::string_view Text) {
  if (Text.empty()) return "it is empty";
  if (Text.size() > kMaxEntryChars)
    return "it is longer than " + std::to_string(kMaxEntryChars) + " characters";
  if (std::all_of(Text.begin(), Text.end(), [](char c) { return c == ' '; }))
    return "it holds only blanks";
  for (const char c : Text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) return "it holds a control character";
  }
  return {};
}

bool ValidValueText(std::string_view Text) {
  if (Text.empty() || Text.front() == ' ') return false;
  int64_t i = 0;
  double r = 0;
  return TryParseInteger(Text, i) || TryParseReal(Text, r);
}

std::vector<TWriteValue> ParseValueArgs(const std::vector<std::string>& Args) {
  std::vector<TWriteValue> out;
  std::map<std::string, std::string> seen;  // entry key -> the argument that gave it
  for (const auto& a : Args) {
    const size_t eq = a.find('=');
    if (eq == std::string::npos || eq == 0)
      throw TUsageError{"write needs ENTRY=VALUE, not " + Quoted(a) + " (see 'tavexctl --help')."};
    TWriteValue v{a.substr(0, eq), a.substr(eq + 1), "Argument " + Quoted(a)};
    CheckValue(v);
    const auto [it, fresh] = seen.emplace(EntryKey(v.Entry), a);
    if (!fresh)
      throw TUsageError{"Arguments " + Quoted(it->second) + " and " + Quoted(a) +
                        " both give a value for " + TerminalSafe(v.Entry) + "."};
    out.push_back(std::move(v));
  }
  return out;
}

// --- CSV input files ----------------------------------------------------------------

void AddCappedWarnings(std::vector<std::string>& Warnings, const std::vector<std::string>& Items,
                       const std::string& MoreOf) {
  for (size_t i = 0; i < Items.size() && i < kMaxNamedWarnings; ++i) Warnings.push_back(Items[i]);
  if (Items.size() > kMaxNamedWarnings)
    Warnings.push_back(std::to_string(Items.size() - kMaxNamedWarnings) + " more " + MoreOf + ".");
}

std::string LineOf(size_t Line, const std::string& Name) {
  return "Line " + std::to_string(Line) + " of " + Quoted(Name);
}

TCsvRows ReadCsvRows(std::string_view Text, const std::string& Name,
                     const std::vector<std::string>& Columns, size_t MaxRows,
                     std::vector<std::string>& Warnings) {
  if (Text.substr(0, 3) == "\xEF\xBB\xBF") Text.remove_prefix(3);
  TCsvRows out;

  // The header: the first line that is neither blank nor a comment, when
  // its first fields are the columns' names. Spreadsheets where the decimal
  // mark is a comma save with ';', and some with tabs.
  size_t at = 0;
  std::string_view header;
  while (at < Text.size()) {
    size_t end = Text.find_first_of("\r\n", at);
    if (end == std::string_view::npos) end = Text.size();
    const std::string_view line = Text.substr(at, end - at);
    const size_t first = line.find_first_not_of(" \t");
    if (first != std::string_view::npos && line[first] != '#') {
      header = line;
      break;
    }
    at = end + 1;
  }
  bool hasHeader = false;
  for (const char separator : {',', ';', '\t'}) {
    const std::vector<std::string> fields = HeaderFields(header, separator);
    if (fields.size() >= Columns.size() &&
        std::equal(Columns.begin(), Columns.end(), fields.begin())) {
      out.Separator = separator;
      hasHeader = true;
      break;
    }
  }

  std::vector<std::vector<std::string>> records;
  std::vector<size_t> lines;
  std::string error;
  TCsvSyntax syntax;
  syntax.Separator = out.Separator;
  syntax.Comments = true;
  syntax.MaxRecords = MaxRows + (hasHeader ? 1 : 0);
  syntax.MaxFields = kMaxCsvFields;
  if (!ParseCsv(Text, records, error, &lines, syntax)) {
    if (records.size() >= syntax.MaxRecords)
      error = "it has more than " + std::to_string(MaxRows) + " rows";
    throw TUsageError{"Cannot read " + Quoted(Name) + ": " + error + "."};
  }

  bool warned = false;
  for (size_t r = hasHeader ? 1 : 0; r < records.size(); ++r) {
    std::vector<std::string>& rec = records[r];
    // Spreadsheets end rows with the empty cells of wider rows (and save a
    // blank row as ",,").
    while (rec.size() > Columns.size() && rec.back().empty()) rec.pop_back();
    if (std::all_of(rec.begin(), rec.end(), [](const std::string& f) { return f.empty(); })) continue;
    if (rec.size() > Columns.size()) {
      if (!warned) {
        std::string names;
        for (size_t c = 0; c < Columns.size(); ++c) names += (c > 0 ? "," : "") + Columns[c];
        Warnings.push_back(LineOf(lines[r], Name) + " has more fields than " + names +
                           "; the fields after them are ignored, in this row and in every other.");
        warned = true;
      }
      rec.resize(Columns.size());
    }
    out.Rows.push_back(std::move(rec));
    out.Lines.push_back(lines[r]);
  }
  return out;
}

// --- The value file -----------------------------------------------------------------

TValueFile ParseValueFile(std::string_view Text, const std::string& Name, bool SkipUnknown) {
  TValueFile out;
  const TCsvRows csv = ReadCsvRows(Text, Name, {"nad", "entry", "value"}, kMaxValueRows, out.Warnings);
  const bool decimalComma = csv.Separator != ',';

  struct TFirst {
    size_t Line;
    std::string Value;
  };
  std::map<std::pair<uint32_t, std::string>, TFirst> seen;
  std::vector<std::string> repeats;
  std::vector<std::string> unknown;
  for (size_t r = 0; r < csv.Rows.size(); ++r) {
    const auto& rec = csv.Rows[r];
    const size_t line = csv.Lines[r];
    const std::string where = LineOf(line, Name);
    if (rec.size() != 3)
      throw TUsageError{where + " has " + std::to_string(rec.size()) + " field" +
                        (rec.size() == 1 ? "" : "s") + "; each row needs nad,entry,value."};
    uint32_t nad = 0;
    if (!ParseNad(rec[0], nad)) throw TUsageError{where + ": " + Quoted(rec[0]) + " is not a NAD."};
    if (rec[1].empty()) throw TUsageError{where + " has no entry name."};
    TWriteValue v{rec[1], decimalComma ? DecimalPoint(rec[2]) : rec[2], where};
    if (v.Value == "?") {
      const std::string problem = EntryTextProblem(v.Entry);
      if (!problem.empty())
        throw TUsageError{where + ": " + Quoted(v.Entry) + " is not an entry: " + problem + "."};
      if (!SkipUnknown)
        throw TUsageError{where + ": the value of " + TerminalSafe(v.Entry) +
                          " is \"?\" (it could not be read when it was saved); give it a value, "
                          "or use --skip-unknown to leave out such rows and restore the others."};
      unknown.push_back("controller " + std::to_string(nad) + " " + TerminalSafe(v.Entry) +
                        " (line " + std::to_string(line) + ")");
      continue;
    }
    CheckValue(v);
    const auto [it, fresh] = seen.emplace(std::make_pair(nad, EntryKey(v.Entry)), TFirst{line, v.Value});
    if (!fresh) {
      if (it->second.Value != v.Value)
        throw TUsageError{"Lines " + std::to_string(it->second.Line) + " and " + std::to_string(line) +
                          " of " + Quoted(Name) + " both give a value for " + TerminalSafe(v.Entry) +
                          " of controller " + std::to_string(nad) + "."};
      repeats.push_back(where + " repeats line " + std::to_string(it->second.Line) + " (controller " +
                        std::to_string(nad) + ", " + TerminalSafe(v.Entry) + " = " +
                        TerminalSafe(v.Value) + "); it is left out.");
      continue;
    }
    out.Values[nad].push_back(std::move(v));
  }
  AddCappedWarnings(out.Warnings, repeats, "rows of " + Quoted(Name) + " repeat an earlier one and are left out");
  if (!unknown.empty()) {
    std::string list;
    for (size_t i = 0; i < unknown.size() && i < 2 * kMaxNamedWarnings; ++i)
      list += (i > 0 ? ", " : "") + unknown[i];
    if (unknown.size() > 2 * kMaxNamedWarnings)
      list += ", and " + std::to_string(unknown.size() - 2 * kMaxNamedWarnings) + " more";
    out.Warnings.push_back("Left out " + std::to_string(unknown.size()) + " row" +
                           (unknown.size() == 1 ? "" : "s") + " of " + Quoted(Name) +
                           " whose value is \"?\" (not read when saved): " + list + ".");
  }
  if (out.Values.empty())
    throw TUsageError{Quoted(Name) + " holds no values" +
                      (unknown.empty() ? std::string(".") : std::string(" but \"?\"."))};
  return out;
}

TValueFile LoadValueFile(const std::string& Path, bool SkipUnknown) {
  std::string text, error;
  if (!ReadSmallInput(Path, kMaxCsvBytes, text, error)) throw TUsageError{error};
  return ParseValueFile(text, Path == "-" ? "standard input" : Path, SkipUnknown);
}

}  // namespace tavex

namespace tavex {

std::string FormatsHelp() {
  return R"(The files tavexctl reads. Each is checked before anything is sent: an error
names the file and the line (counted from 1) and ends the run with status 2;
what can be passed over is named in a warning on stderr.

Value file: write --from FILE ('-': standard input)
  CSV with the columns nad,entry,value, as 'read --format rows' prints it.
  The header line is optional; it tells the separator: ',', ';' or a tab
  (without a header: ','). A UTF-8 byte order mark, CR LF and quoted fields
  ("a,b", "say ""hi""") are read as spreadsheets save them. A line whose
  first non-blank character is '#' is a comment; empty lines and empty
  fields at the end of a row are ignored; further fields are ignored with a
  warning. ENTRY is NAME or NAME[INDEX] (INDEX decimal or $ hexadecimal);
  other text is a name as written, and one that names no variable is
  reported at run time. VALUE is an integer (decimal, or hexadecimal
  after $ or 0x) or a real (21.5, -2E-3); in a ';' or tab file a decimal
  comma is read as the point (21,5). A value "?" (not read when saved) is
  refused; --skip-unknown leaves such rows out and writes the others. A row
  given twice is a warning; two values for one entry of one controller are
  refused, naming both lines.

    nad;entry;value
    # the pumps of hall 2
    1000;setpoint;21,5
    1000;speed[2];1200

Hosts file: --hosts FILE ('-': standard input; not both files at once)
  CSV with the columns nad,ip, as 'detect --format csv' prints it, by the
  same rules. IP is ADDR or ADDR:PORT. A NAD listed at two addresses is
  pinged at both, with a warning; one address listed with two NADs is
  refused.

    nad,ip
    1000,192.168.1.20
    1001,192.168.1.21:8442

Configuration file: --ini FILE (or TAVEX_INI; else tavexctl.ini beside the
program, else in $XDG_CONFIG_HOME/tavex or ~/.config/tavex)
  INI, read as the desktop tool reads it: [General] Password=... and
  [Variables] Var0=..., Var1=..., the entries that read takes when no ENTRY
  is given, up to the first missing number. Section and key names in any
  letter case; a line beginning with ';' is a comment; a value is trimmed
  and one pair of quotes around it dropped. A line that is no setting is a
  warning, and so is an empty VarN= (skipped; the numbering goes on past it).

    [General]
    Password=secret
    [Variables]
    Var0=setpoint
    Var1=speed[2]
)";
}

}  // namespace tavex
