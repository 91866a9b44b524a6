#include "cli/uCliOutput.h"

#include "abus/uABus.h"
#include "cli/uCliPlatform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <fstream>

namespace tavex {

namespace {
bool StdoutWasClosed = false;
}  // namespace

void GuardStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (DescriptorOpen(fd)) continue;
    if (fd == 1) StdoutWasClosed = true;
    const int n = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (n >= 0 && n != fd) {
      dup2(n, fd);
      close(n);
    }
  }
}

bool StdoutClosed() { return StdoutWasClosed; }

std::string Quoted(const std::string& Text) { return "\"" + TerminalSafe(Text) + "\""; }

std::string Sentence(std::string Text) {
  if (Text.empty() || (Text.back() != '.' && Text.back() != '!' && Text.back() != '?'))
    Text += '.';
  return Text;
}

std::string JoinList(const std::vector<std::string>& Items) {
  std::string out;
  for (size_t i = 0; i < Items.size(); ++i) {
    if (i > 0) out += ", ";
    out += TerminalSafe(Items[i]);
  }
  return out;
}

namespace {

size_t Utf8Length(std::string_view Text) {
  size_t n = 0;
  for (const char c : Text)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
  return n;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::string TerminalSafe(std::string_view Text) {
  std::string out;
  out.reserve(Text.size());
  for (size_t i = 0; i < Text.size(); ++i) {
    const auto c = static_cast<unsigned char>(Text[i]);
    if (c < 0x20 || c == 0x7F) {
      out += '?';
    } else if (c == 0xC2 && i + 1 < Text.size() &&
               static_cast<unsigned char>(Text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(Text[i + 1]) <= 0x9F) {
      // C1 controls (U+0080..U+009F) act like ESC sequences on many terminals.
      out += '?';
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string FormatTable(const TTextTable& Table) {
  const size_t columns = Table.Header.size();
  std::vector<size_t> width(columns, 0);
  auto cell = [&](const std::vector<std::string>& Row, size_t c) -> std::string {
    return c < Row.size() ? TerminalSafe(Row[c]) : std::string();
  };
  auto measure = [&](const std::vector<std::string>& Row) {
    for (size_t c = 0; c < columns; ++c) width[c] = std::max(width[c], Utf8Length(cell(Row, c)));
  };
  measure(Table.Header);
  for (const auto& row : Table.Rows) measure(row);

  std::string out;
  auto line = [&](const std::vector<std::string>& Row) {
    std::string l;
    for (size_t c = 0; c < columns; ++c) {
      const std::string text = cell(Row, c);
      l += text;
      if (c + 1 < columns) l.append(width[c] - Utf8Length(text) + 2, ' ');
    }
    while (!l.empty() && l.back() == ' ') l.pop_back();
    out += l;
    out += '\n';
  };
  line(Table.Header);
  for (const auto& row : Table.Rows) line(row);
  return out;
}

std::string CsvField(std::string_view Text) {
  const bool quote = Text.find_first_of(",\"\r\n") != std::string_view::npos ||
                     (!Text.empty() && (IsBlank(Text.front()) || IsBlank(Text.back())));
  if (!quote) return std::string(Text);
  std::string out = "\"";
  for (const char c : Text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

std::string FormatCsv(const TTextTable& Table) {
  std::string out;
  auto line = [&](const std::vector<std::string>& Row) {
    for (size_t c = 0; c < Table.Header.size(); ++c) {
      if (c > 0) out += ',';
      if (c < Row.size()) out += CsvField(Row[c]);
    }
    out += '\n';
  };
  line(Table.Header);
  for (const auto& row : Table.Rows) line(row);
  return out;
}

bool ParseCsv(std::string_view Text, std::vector<std::vector<std::string>>& Records,
              std::string& Error, std::vector<size_t>* Lines, size_t MaxRecords,
              size_t MaxFields, char Separator) {
  TCsvSyntax syntax;
  syntax.Separator = Separator;
  syntax.MaxRecords = MaxRecords;
  syntax.MaxFields = MaxFields;
  return ParseCsv(Text, Records, Error, Lines, syntax);
}

bool ParseCsv(std::string_view Text, std::vector<std::vector<std::string>>& Records,
              std::string& Error, std::vector<size_t>* Lines, const TCsvSyntax& Syntax) {
  Records.clear();
  if (Lines != nullptr) Lines->clear();
  const char separator = Syntax.Separator;
  // A tab separates fields in a tab file; elsewhere it is a blank.
  const auto blank = [separator](char c) { return c == ' ' || (c == '\t' && separator != '\t'); };
  const auto trim = [&](std::string_view t) {
    while (!t.empty() && blank(t.front())) t.remove_prefix(1);
    while (!t.empty() && blank(t.back())) t.remove_suffix(1);
    return t;
  };
  size_t i = 0;
  size_t lineNo = 1;
  const size_t n = Text.size();
  auto atLineEnd = [&](size_t p) { return p >= n || Text[p] == '\n' || Text[p] == '\r'; };
  auto skipLineEnd = [&]() {
    if (i < n && Text[i] == '\r') ++i;
    if (i < n && Text[i] == '\n') ++i;
    ++lineNo;
  };
  while (i < n) {
    // A line of blanks only gives no record, nor does a comment line.
    size_t j = i;
    while (j < n && IsBlank(Text[j])) ++j;
    if (Syntax.Comments && j < n && Text[j] == '#')
      while (!atLineEnd(j)) ++j;
    if (atLineEnd(j)) {
      i = j;
      if (i < n) skipLineEnd();
      continue;
    }
    if (Records.size() >= Syntax.MaxRecords) {
      Error = "it has more than " + std::to_string(Syntax.MaxRecords) + " rows";
      return false;
    }
    const size_t recordLine = lineNo;
    std::vector<std::string> fields;
    for (;;) {
      if (fields.size() >= Syntax.MaxFields) {
        Error = "line " + std::to_string(recordLine) + " has more than " +
                std::to_string(Syntax.MaxFields) + " fields";
        return false;
      }
      while (i < n && blank(Text[i])) ++i;
      std::string field;
      if (i < n && Text[i] == '"') {
        const size_t openLine = lineNo;
        ++i;
        for (;;) {
          if (i >= n) {
            Error = "the quote opened on line " + std::to_string(openLine) + " is never closed";
            return false;
          }
          const char c = Text[i++];
          if (c == '"') {
            if (i < n && Text[i] == '"') {
              field += '"';
              ++i;
              continue;
            }
            break;
          }
          if (c == '\n' || (c == '\r' && (i >= n || Text[i] != '\n'))) ++lineNo;
          field += c;
        }
        while (i < n && blank(Text[i])) ++i;
        if (i < n && Text[i] != separator && !atLineEnd(i)) {
          Error = "line " + std::to_string(lineNo) + " has text after a closing quote";
          return false;
        }
      } else {
        const size_t start = i;
        while (i < n && Text[i] != separator && !atLineEnd(i)) ++i;
        const std::string_view raw = trim(Text.substr(start, i - start));
        if (raw.find('"') != std::string_view::npos) {
          Error = "line " + std::to_string(lineNo) + " has a quote inside an unquoted field";
          return false;
        }
        field = std::string(raw);
      }
      fields.push_back(std::move(field));
      if (i < n && Text[i] == separator) {
        ++i;
        continue;
      }
      break;
    }
    Records.push_back(std::move(fields));
    if (Lines != nullptr) Lines->push_back(recordLine);
    if (i < n) skipLineEnd();
  }
  return true;
}

bool ReadSmallFile(const std::string& Path, size_t Limit, std::string& Text, std::string& Error) {
  Text.clear();
  struct stat st {};
  if (::stat(Path.c_str(), &st) != 0) {
    Error = "Cannot open \"" + Path + "\": no such file.";
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    Error = "Cannot read \"" + Path + "\": not a regular file.";
    return false;
  }
  if (static_cast<unsigned long long>(st.st_size) > Limit) {
    Error = "Cannot read \"" + Path + "\": larger than " + std::to_string(Limit / 1024) + " KiB.";
    return false;
  }
  std::ifstream in(Path, std::ios::binary);
  if (!in) {
    Error = "Cannot open \"" + Path + "\".";
    return false;
  }
  // The size may change between stat and read: never take more than Limit.
  char buf[16384];
  while (in) {
    in.read(buf, sizeof buf);
    const auto got = static_cast<size_t>(in.gcount());
    if (Text.size() + got > Limit) {
      Error = "Cannot read \"" + Path + "\": larger than " + std::to_string(Limit / 1024) + " KiB.";
      Text.clear();
      return false;
    }
    Text.append(buf, got);
  }
  if (in.bad()) {
    Error = "Cannot read \"" + Path + "\".";
    Text.clear();
    return false;
  }
  return true;
}

bool ReadSmallInput(const std::string& Path, size_t Limit, std::string& Text, std::string& Error) {
  if (Path != "-") return ReadSmallFile(Path, Limit, Text, Error);
  Text.clear();
  char buf[65536];
  for (;;) {
    const size_t got = std::fread(buf, 1, sizeof buf, stdin);
    if (Text.size() + got > Limit) {
      Error = "Standard input holds more than " + std::to_string(Limit / 1024) + " KiB.";
      Text.clear();
      return false;
    }
    Text.append(buf, got);
    if (got < sizeof buf) break;
  }
  if (std::ferror(stdin)) {
    Error = "Cannot read standard input.";
    Text.clear();
    return false;
  }
  return true;
}

TProgress::TProgress() : Enabled_(TerminalAcceptsControls(STDERR_FILENO)) {}

void TProgress::Show(std::string_view Text) {
  if (!Enabled_) return;
  std::string line = TerminalSafe(Text);
  // A wrapped line could not be rewritten with '\r'.
  size_t columns = TerminalColumns(STDERR_FILENO);
  if (columns <= 1) columns = 80;
  if (line.size() > columns - 1) {
    size_t cut = columns - 1;
    while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
    line.resize(cut);
  }
  std::fprintf(stderr, "\r%s\033[K", line.c_str());
  std::fflush(stderr);
  Shown_ = true;
}

void TProgress::Clear() {
  if (!Shown_) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  Shown_ = false;
}

}  // namespace tavex

namespace tavex {

std::string TraceLine(bool Sent, const std::string& IP, uint16_t Port, const uint8_t* Data,
                      size_t Size) {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t t = system_clock::to_time_t(now);
  std::tm tm{};
  localtime_r(&t, &tm);
  const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  char head[64];
  std::snprintf(head, sizeof head, "%02d:%02d:%02d.%03d %s ", tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(ms), Sent ? "->" : "<-");
  std::string line = head + TerminalSafe(IP) + ":" + std::to_string(Port);
  if (Data == nullptr) Size = 0;
  auto u32 = [Data](size_t At) {
    return static_cast<uint32_t>(Data[At] | Data[At + 1] << 8 | Data[At + 2] << 16) |
           static_cast<uint32_t>(Data[At + 3]) << 24;
  };
  if (Size >= 14 && Data[0] == 0xAA && Data[1] == 0x55) {
    line += " " + std::to_string(u32(4)) + " > " + std::to_string(u32(8)) + " dir " +
            std::to_string(Data[12]);
    if (Data[12] == 0 && Size > 14) line += " cmd " + std::to_string(Data[14]);
  } else {
    line += " (no frame start)";
  }
  line += " len " + std::to_string(Size) + " ";
  line += BytesToHex(Data, std::min<size_t>(Size, 2048));
  return line + "\n";
}

}  // namespace tavex
