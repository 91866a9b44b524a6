#include "vars/uConfigFile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace tavex {
namespace {

TEST(LoadConfigText, Cases) {
  struct Case {
    const char* name;
    std::string text;
    std::string password;
    std::vector<std::string> entries;
    int badLine;
  } cases[] = {
      {"empty", "", "", {}, 0},
      {"both sections", "[General]\nPassword=secret\n[Variables]\nVar0=speed\nVar1=temp[3]\n",
       "secret", {"speed", "temp[3]"}, 0},
      {"numbering stops at the first gap", "[Variables]\nVar0=a\nVar1=b\nVar3=c\n", "", {"a", "b"}, 0},
      {"no Var0, nothing", "[Variables]\nVar1=b\n", "", {}, 0},
      {"names in any case", "[GENERAL]\npassWORD=p\n[variables]\nvAr0=x\n", "p", {"x"}, 0},
      {"a repeated key keeps its first value", "[Variables]\nVar0=first\nVar0=second\n", "",
       {"first"}, 0},
      {"a repeated key in another case keeps the first value too",
       "[Variables]\nVar0=first\nVAR0=second\nVar1=b\n", "", {"first", "b"}, 0},
      {"an indented line is a setting of its own, not a continuation",
       "[Variables]\nVar0=temp_setpoint\n  Var1=mode\n\tVar2 = fan\n", "",
       {"temp_setpoint", "mode", "fan"}, 0},
      {"a section named twice continues the first", "[Variables]\nVar0=a\n[General]\n[variables]\nVar1=b\n",
       "", {"a", "b"}, 0},
      {"a bad line costs only itself", "[Variables]\nVar0=a\nnot a pair\nVar1=b\n", "", {"a", "b"}, 3},
      {"CR LF, byte order mark, blanks around names and values",
       "\xEF\xBB\xBF[ General ]\r\nPassword = two words \r\n[Variables]\r\nVar0 = x\r\n",
       "two words", {"x"}, 0},
      {"a byte order mark counts only at the very start", "\n\xEF\xBB\xBF[General]\nPassword=p\n", "", {}, 2},
      {"no inline comment: a semicolon inside a value is part of it",
       "[General]\nPassword=pa ;ss\n[Variables]\nVar0=a;b\n", "pa ;ss", {"a;b"}, 0},
      {"a semicolon opens a comment only at the start of a line",
       "[Variables]\n;Var0=hidden\n  ; Var0=hidden too\nVar0=shown\n", "", {"shown"}, 0},
      {"a hash is no comment", "[Variables]\n#Var0=x\nVar0=y\n", "", {"y"}, 0},
      {"one pair of matching quotes is dropped",
       "[General]\nPassword=\"x\"\n[Variables]\nVar0='a b'\nVar1=\"\"q\"\"\nVar2=\"half\nVar3=\"mixed'\nVar4=\"\n"
       "Var5= \" padded \" \n",
       "x", {"a b", "\"q\"", "\"half", "\"mixed'", "\"", " padded "}, 0},
      {"the first = splits key and value", "[Variables]\nVar0=a=b\n", "", {"a=b"}, 0},
      {"a section line without its ] still opens the section, and is reported",
       "[General]\n[Variables\nVar0=a\n", "", {"a"}, 2},
      {"text after ] is ignored", "[Variables] tail\nVar0=a\n", "", {"a"}, 0},
      {"keys before any section do not count", "Var0=a\nPassword=p\n[Variables]\nVar1=b\n", "", {}, 0},
      {"no line end after the last line", "[General]\nPassword=last", "last", {}, 0},
      {"a zero byte is an ordinary character", std::string("[General]\nPassword=a\0b\n", 23),
       std::string("a\0b", 3), {}, 0},
      {"a line of 64 KiB is read",
       "[Variables]\nVar0=" + std::string(TConfigFile::kMaxLineBytes - 5, 'v') + "\nVar1=b\n", "",
       {std::string(TConfigFile::kMaxLineBytes - 5, 'v'), "b"}, 0},
      {"a longer line is skipped whole, not cut",
       "[Variables]\nVar0=" + std::string(TConfigFile::kMaxLineBytes - 4, 'v') + "\nVar0=b\n", "", {"b"}, 2},
      {"entries outside their section do not count", "[General]\nVar0=a\n[Other]\nVar1=b\n", "", {}, 0},
      {"an empty entry is skipped, the numbering goes on", "[Variables]\nVar0=\nVar1=b\nVar2=\"\"\nVar3=c\n", "",
       {"b", "c"}, 0},
      {"a key without a value is none", "[Variables]\nVar0\nVar1=b\n", "", {}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TConfigFile config;
    config.Password = "stale";
    config.Entries = {"stale"};
    int bad = -1;
    EXPECT_TRUE(LoadConfigText(c.text, config, &bad));
    EXPECT_EQ(config.Password, c.password);
    EXPECT_EQ(config.Entries, c.entries);
    EXPECT_EQ(bad, c.badLine);
  }
}

// What was passed over, for the readers' warnings: in line order, each
// with its line and the line's text or the key as written.
TEST(LoadConfigText, NotesWhatItPassesOver) {
  TConfigFile config;
  ASSERT_TRUE(LoadConfigText("[General]\nPassword=p\nstray text\n[Variables]\nvar0=a\nVAR1 = \n[Variables\n"
                             "Var2=b\nVar4=c\nComment=x\n" + std::string(100, 'z') + "\n",
                             config));
  EXPECT_EQ(config.Entries, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(config.Numbered, 3u);
  using K = TConfigNote::TKind;
  const std::vector<std::tuple<K, int, std::string>> want = {
      {K::BadLine, 3, "stray text"}, {K::EmptyEntry, 6, "VAR1"},  {K::BadLine, 7, "[Variables"},
      {K::NotRead, 9, "Var4"},       {K::NotRead, 10, "Comment"}, {K::BadLine, 11, std::string(80, 'z') + "..."},
  };
  std::vector<std::tuple<K, int, std::string>> got;
  for (const auto& n : config.Notes) got.emplace_back(n.Kind, n.Line, n.Text);
  EXPECT_EQ(got, want);
  EXPECT_EQ(config.NotesLeftOut, 0u);

  // Notes are bounded; the others counted.
  std::string many = "[Variables]\n";
  for (int i = 0; i < 1000; ++i) many += "bad line\n";
  ASSERT_TRUE(LoadConfigText(many, config));
  EXPECT_EQ(config.Notes.size(), TConfigFile::kMaxNotes);
  EXPECT_EQ(config.NotesLeftOut, 1000u - TConfigFile::kMaxNotes);
}

TEST(LoadConfigText, EntriesAreBounded) {
  std::string text = "[Variables]\n";
  for (size_t n = 0; n <= TConfigFile::kMaxEntries; ++n) text += "Var" + std::to_string(n) + "=v\n";
  TConfigFile config;
  ASSERT_TRUE(LoadConfigText(text, config));
  EXPECT_EQ(config.Entries.size(), TConfigFile::kMaxEntries);
}

class LoadConfigFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/test_uConfigFile_XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    Path = name;
  }
  void TearDown() override { std::remove(Path.c_str()); }
  void WriteFile(const std::string& text) {
    std::ofstream(Path, std::ios::binary) << text;
  }
  std::string Path;
};

TEST_F(LoadConfigFileTest, ReadsTheFileAsTheText) {
  WriteFile("[General]\nPassword=pw\n[Variables]\nVar0=a\nbad\nVar1=b[2]\n");
  TConfigFile config;
  int bad = -1;
  ASSERT_TRUE(LoadConfigFile(Path, config, &bad));
  EXPECT_EQ(config.Password, "pw");
  EXPECT_EQ(config.Entries, (std::vector<std::string>{"a", "b[2]"}));
  EXPECT_EQ(bad, 5);
}

TEST_F(LoadConfigFileTest, MissingOrOversizedFileReadsAsEmpty) {
  TConfigFile config;
  config.Password = "stale";
  EXPECT_FALSE(LoadConfigFile(Path + ".missing", config));
  EXPECT_TRUE(config.Password.empty() && config.Entries.empty());

  // A file at the limit is read; one byte more and it is not.
  std::string text = "[General]\nPassword=pw\n;";
  text.resize(TConfigFile::kMaxBytes, 'x');
  WriteFile(text);
  ASSERT_TRUE(LoadConfigFile(Path, config));
  EXPECT_EQ(config.Password, "pw");
  WriteFile(text + "x");
  EXPECT_FALSE(LoadConfigFile(Path, config));
  EXPECT_TRUE(config.Password.empty() && config.Entries.empty());
  EXPECT_FALSE(LoadConfigText(text + "x", config));
}

TEST(ConfigFilePlaces, FromTheEnvironment) {
  struct Case {
    const char* name;
    const char* xdg;
    const char* home;
    std::string user;
  } cases[] = {
      {"XDG_CONFIG_HOME wins", "/x/cfg", "/home/u", "/x/cfg/tavex/tavex-config.ini"},
      {"unset: the home's .config", nullptr, "/home/u", "/home/u/.config/tavex/tavex-config.ini"},
      {"empty: the home's .config", "", "/home/u", "/home/u/.config/tavex/tavex-config.ini"},
      {"relative: ignored", "cfg", "/home/u", "/home/u/.config/tavex/tavex-config.ini"},
      {"no usable home either", nullptr, "", ""},
      {"a relative home is no home", "", "home/u", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TConfigFilePlaces places = ConfigFilePlaces("/opt/t/bin/tavex-config", "tavex-config.ini", c.xdg, c.home);
    EXPECT_EQ(places.Beside, "/opt/t/bin/tavex-config.ini");
    EXPECT_EQ(places.User, c.user);
  }
  // A program file with an extension has it replaced.
  EXPECT_EQ(ConfigFilePlaces("/p/tavex-config.exe", "tavex-config.ini", nullptr, nullptr).Beside,
            "/p/tavex-config.ini");
}

// Which file is read, over a real folder tree: beside the program first,
// then the user's folder, else none.
TEST(FindConfigFile, BesideFirstThenTheUsersFolder) {
  char name[] = "/tmp/test_uConfigFile_places_XXXXXX";
  ASSERT_NE(mkdtemp(name), nullptr);
  const std::filesystem::path root = name;
  const std::filesystem::path bin = root / "bin", cfg = root / "cfg";
  const TConfigFilePlaces places =
      ConfigFilePlaces((bin / "tavexctl").string(), "tavexctl.ini", cfg.c_str(), nullptr);
  ASSERT_EQ(places.User, (cfg / "tavex" / "tavexctl.ini").string());

  enum What { kNone, kFile, kFolder };
  struct Case {
    const char* name;
    What beside, user;
    std::string expected;
  } cases[] = {
      {"neither", kNone, kNone, ""},
      {"only beside", kFile, kNone, places.Beside},
      {"only the user's", kNone, kFile, places.User},
      {"both: beside wins", kFile, kFile, places.Beside},
      {"a folder beside does not hide the user's file", kFolder, kFile, places.User},
      {"a folder in the user's place is no file", kNone, kFolder, ""},
  };
  const auto make = [](const std::string& path, What what) {
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    if (what == kFile) std::ofstream(path) << "[General]\nPassword=p\n";
    if (what == kFolder) std::filesystem::create_directory(path);
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    make(places.Beside, c.beside);
    make(places.User, c.user);
    EXPECT_EQ(FindConfigFile(places), c.expected);
  }
  EXPECT_EQ(FindConfigFile(TConfigFilePlaces{}), "");
  std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace tavex
