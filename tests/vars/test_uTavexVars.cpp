#include "vars/uTavexVars.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "vars/uNumberText.h"

namespace tavex {
namespace {

struct Element {
  int32_t address;  // GetAddress()
  int32_t index;
};

struct LineCase {
  const char* line;
  bool ok;
  std::vector<Element> elements;
};

// The worked examples, plus the forms the column cutter must accept or refuse.
const LineCase kLines[] = {
    {"0120 0 1 0 2 global int setpoint", true, {{0x120, 0}}},
    {"0200 3 4 0 1 global bit relay Output relays", true,
     {{0x200, 0}, {0x201, 1}, {0x202, 2}, {0x203, 3}}},
    {"0600 0 2 4 2 GLOBAL Long pair", true, {{0x604, 0}, {0x606, 1}}},
    {"0300 0 1 0 0 local word tmp", true, {}},
    {"0400 0 1 0 0 global const limit", true, {}},
    {"0500 0 0 0 0 global word empty", true, {}},
    {"0700 0 1 0 0 global float x", false, {}},
    // Skipped lines.
    {"", true, {}},
    {"   \t  ", true, {}},
    {";CPU Tavex-2 something", true, {}},
    {";Addr Flags Count Offset Step Scope Type Name Comment", true, {}},
    {"lonelyword", true, {}},
    {"  \tlonelyword", true, {}},
    // Comments are only tolerated as above.
    {"; a comment", false, {}},
    {";cpu Tavex-2 ", false, {}},
    // Whitespace: leading tabs and runs of spaces are fine, a tab between columns is not.
    {"\t  0120   0  1 0   2 global    int setpoint", true, {{0x120, 0}}},
    {"0120\t0 1 0 2 global int setpoint", false, {}},
    // Column counts.
    {"0120 0 1 0 2 global int", false, {}},
    {"0120 0 1 0 2 global int setpoint ", true, {{0x120, 0}}},
    // Numbers: -1 and FFFFFFFF are invalid, hex prefixes in columns 3-5.
    {"FFFFFFFF 0 1 0 2 global int a", false, {}},
    {"0120 FFFFFFFF 1 0 2 global int a", false, {}},
    {"0120 0 -1 0 2 global int a", false, {}},
    {"0120 0 1 -1 2 global int a", false, {}},
    {"0120 0 1 0 -1 global int a", false, {}},
    {"0120 0 $2 0x10 x4 global int a", true, {{0x130, 0}, {0x134, 1}}},
    {"0120 0 -2 0 2 global int a", true, {}},
    {"0x120 0 1 0 2 global int a", false, {}},
    {"0120 0 1.5 0 2 global int a", false, {}},
    {"0120 0 99999999999 0 2 global int a", false, {}},
    {"0120 0 1 0 2 nowhere int a", false, {}},
    {"0120 0 1 0 2 REG int a", true, {}},
    // Bounds against hostile counts.
    {"0120 0 65537 0 2 global int a", false, {}},
    {"0120 0 2000000000 0 2 global int a", false, {}},
    {"0120 0 70000 0 2 local int a", true, {}},
};

TEST(ParseLine, Table) {
  for (const auto& c : kLines) {
    SCOPED_TRACE(c.line);
    TTavexVarList list;
    EXPECT_EQ(list.ParseLine(c.line), c.ok);
    ASSERT_EQ(list.Count(), static_cast<int>(c.elements.size()));
    for (size_t i = 0; i < c.elements.size(); ++i) {
      EXPECT_EQ(list.Items(static_cast<int>(i))->GetAddress(), c.elements[i].address) << i;
      EXPECT_EQ(list.Items(static_cast<int>(i))->Index, c.elements[i].index) << i;
    }
  }
}

TEST(ParseLine, FieldsOfEachElement) {
  TTavexVarList list;
  ASSERT_TRUE(list.ParseLine("0200 3 4 8 1 global bit Relay_Out  Output relays, bank A  "));
  ASSERT_EQ(list.Count(), 4);
  const TTavexVar* v = list.Items(2);
  EXPECT_EQ(v->Name, "Relay_Out");
  EXPECT_EQ(v->Comment, "Output relays, bank A");
  EXPECT_EQ(v->Address, 0x200);
  EXPECT_EQ(v->Count, 4);
  EXPECT_EQ(v->Offset, 8);
  EXPECT_EQ(v->Stride, 1);
  EXPECT_EQ(v->Scope, scGlobal);
  EXPECT_EQ(v->VarType, vtBit);
  EXPECT_TRUE(v->Flag0);
  EXPECT_TRUE(v->Flag1);
  EXPECT_TRUE(v->IsArray());
  EXPECT_EQ(v->GetAddress(), 0x200 + 8 + 2);
  EXPECT_EQ(v->Value, TVarValue(uint8_t{0}));

  ASSERT_TRUE(list.ParseLine("0300 6 1 4 100 global real gain"));
  const TTavexVar* g = list.Items(4);
  EXPECT_FALSE(g->Flag0);
  EXPECT_TRUE(g->Flag1);
  EXPECT_FALSE(g->IsArray());
  EXPECT_EQ(g->GetAddress(), 0x304);  // the stride is not used for a single element
  EXPECT_EQ(g->Comment, "");
}

TEST(ParseLine, EveryTypeKeywordCreatesElementsExceptConst) {
  const char* types[] = {"bit",  "word",     "int",       "long",       "real",       "timer",      "counter",
                         "void", "timerbit", "timerlong", "counterbit", "counterlong"};
  for (const char* t : types) {
    TTavexVarList list;
    ASSERT_TRUE(list.ParseLine(std::string("0100 0 1 0 0 global ") + t + " v")) << t;
    ASSERT_EQ(list.Count(), 1) << t;
    EXPECT_EQ(list.Items(0)->VarType, TypeFromText(t));
  }
  EXPECT_EQ(TypeFromText("CounterLong"), vtCounterLong);
  EXPECT_EQ(TypeFromText("float"), 0);
  EXPECT_EQ(TypeFromText(""), 0);
  EXPECT_EQ(ScopeFromText("Local"), scLocal);
  EXPECT_EQ(ScopeFromText("globals"), 0);
}

TEST(ParseLine, TotalSizeIsBounded) {
  // Many lines of the largest count, or long comments, cannot exhaust memory:
  // the line that would pass the bound is refused.
  TTavexVarList list;
  int accepted = 0;
  for (int i = 0; i < 1000 && list.ParseLine("0000 0 65536 0 1 global word w"); ++i) ++accepted;
  EXPECT_GT(accepted, 0);
  EXPECT_LT(accepted, 1000);
  EXPECT_LE(static_cast<size_t>(list.Count()) * sizeof(TTavexVar), kMaxAlcListBytes);

  TTavexVarList big;
  const std::string comment(1 << 20, 'c');
  EXPECT_FALSE(big.ParseLine("0000 0 65536 0 1 global word w " + comment));
  EXPECT_EQ(big.Count(), 0);
}

std::vector<std::string> Lines(std::initializer_list<const char*> l) { return {l.begin(), l.end()}; }

TEST(LoadFromAlc, MarkerStartsTheParsedRegion) {
  const auto text = Lines({
      "garbage that would not parse",
      ";CPU Tavex-2 V1.0",
      ";Addr Flags Count Offset Step Scope Type Name Comment",
      "0120 0 1 0 2 global int setpoint",
      "0122 0 3 0 2 global word speed Motor speeds",
  });
  TTavexVarList list;
  list.LoadFromAlc(text, 1000);
  ASSERT_EQ(list.Count(), 4);
  EXPECT_EQ(list.Items(0)->Name, "setpoint");
  EXPECT_EQ(list.Items(3)->Index, 2);

  // NAD -1 parses every line, so the garbage first line fails.
  TTavexVarList all;
  try {
    all.LoadFromAlc(text, -1);
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Error parsing ALC data on line 1: \"garbage that would not parse\"");
  }
}

TEST(LoadFromAlc, WithoutMarkerNothingIsParsed) {
  TTavexVarList list;
  EXPECT_NO_THROW(list.LoadFromAlc(Lines({"0120 0 1 0 2 global int setpoint", "; junk"}), 5));
  EXPECT_EQ(list.Count(), 0);
  // The marker needs its trailing space.
  EXPECT_NO_THROW(list.LoadFromAlc(Lines({";CPU Tavex-2", "0120 0 1 0 2 global int a"}), 5));
  EXPECT_EQ(list.Count(), 0);
}

TEST(LoadFromAlc, ErrorNamesTheLineCountedFromOneWithItsTextAndKeepsEarlierElements) {
  TTavexVarList list;
  try {
    list.LoadFromAlc(Lines({";CPU Tavex-2 ", "0120 0 1 0 2 global int a", "0700 0 1 0 0 global float x",
                            "0130 0 1 0 2 global int b"}),
                     7);
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Error parsing ALC data on line 3: \"0700 0 1 0 0 global float x\"");
  }
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(list.Items(0)->Name, "a");
}

TEST(LoadFromAlc, TextFormSplitsAtEveryLineEnd) {
  const std::string text =
      "junk\r\n;CPU Tavex-2 x\r0120 0 1 0 2 global int a\n\n0130 0 2 0 2 global int b\r\n"
      "0140 0 1 0 0 global bogus c\n";
  TTavexVarList list;
  try {
    list.LoadFromAlcText(text, 1);
    FAIL() << "no exception";
  } catch (const Exception& e) {
    // junk=1, marker=2, a=3, empty=4, b=5, bogus=6
    EXPECT_STREQ(e.what(), "Error parsing ALC data on line 6: \"0140 0 1 0 0 global bogus c\"");
  }
  EXPECT_EQ(list.Count(), 3);
}

TEST(LoadFromAlc, HugeCountIsALineError) {
  TTavexVarList list;
  try {
    list.LoadFromAlcText(";CPU Tavex-2 \n0120 0 2000000000 0 2 global int a\n", 1);
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Error parsing ALC data on line 2: \"0120 0 2000000000 0 2 global int a\"");
  }
  EXPECT_EQ(list.Count(), 0);
}

// The bad line is shown as it is, but never as more than a bounded text a
// message box or a terminal takes as plain characters.
TEST(LoadFromAlc, TheBadLineIsQuotedBoundedAndFreeOfControlCharacters) {
  const std::string longLine = "0120 0 1 0 2 global " + std::string(100, 'x');
  // 79 bytes, then a two-byte character across the cut.
  const std::string acrossCut = std::string(79, 'y') + "\xC3\xA9" + "zzz x";
  struct TCase {
    std::string Line;
    std::string Shown;
  } cases[] = {
      {"0120 0 1 0 2 global bogus \x1b]0;owned\x07", "0120 0 1 0 2 global bogus ?]0;owned?"},
      {"bogus\tline \x7f x", "bogus?line ? x"},
      {"C1 \xC2\x9B" "2J control, then \xC3\xA9", "C1 ?2J control, then \xC3\xA9"},
      {longLine, longLine.substr(0, kAlcQuotedLineMax) + "..."},
      {acrossCut, std::string(79, 'y') + "..."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Shown);
    TTavexVarList list;
    try {
      list.LoadFromAlcText(";CPU Tavex-2 \n" + c.Line, 1);
      FAIL() << "no exception";
    } catch (const Exception& e) {
      EXPECT_EQ(std::string(e.what()), "Error parsing ALC data on line 2: \"" + c.Shown + "\"");
    }
  }
}

TEST(List, ItemsOutOfRangeAndClear) {
  TTavexVarList list;
  EXPECT_EQ(list.Items(0), nullptr);
  EXPECT_EQ(list.Add(std::make_unique<TTavexVar>()), 0);
  EXPECT_EQ(list.Add(std::make_unique<TTavexVar>()), 1);
  EXPECT_NE(list.Items(1), nullptr);
  EXPECT_EQ(list.Items(-1), nullptr);
  EXPECT_EQ(list.Items(2), nullptr);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
}

TEST(TavexVar, AssignCopiesEverything) {
  TTavexVar a("x", 1, 2, 3, 1, 4, scGlobal, vtWord, true, false, "c", uint16_t{77});
  TTavexVar b;
  b.Assign(&a);
  EXPECT_EQ(b.Name, "x");
  EXPECT_EQ(b.GetAddress(), 1 + 4 + 2);
  EXPECT_EQ(b.Value, TVarValue(uint16_t{77}));
  b.Assign(nullptr);
  EXPECT_EQ(b.Name, "x");
}

uint32_t FloatBits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}

TEST(WireForm, GetRawValueByType) {
  struct Case {
    const char* name;
    uint8_t type;
    TVarValue value;
    uint32_t raw;
  } cases[] = {
      {"bit", vtBit, uint8_t{1}, 1},
      {"bit_low_byte", vtBit, int32_t{0x1FF}, 0xFF},
      {"word_65535", vtWord, uint16_t{65535}, 0x0000FFFF},
      {"int_minus_one_sign_extended", vtInt, int16_t{-1}, 0xFFFFFFFF},
      {"int_from_word", vtInt, uint16_t{0x8000}, 0xFFFF8000},
      {"long", vtLong, int32_t{-2}, 0xFFFFFFFE},
      {"long_from_real_rounds_half_even", vtLong, 2.5, 2},
      {"long_from_huge_real_saturates", vtLong, 1e300, 0x7FFFFFFF},
      {"real", vtReal, 1.5, 0x3FC00000},
      {"real_from_int", vtReal, int16_t{-2}, 0xC0000000},
      {"real_overflow_is_infinity", vtReal, 1e300, 0x7F800000},
      {"real_nan_stays_nan", vtReal, std::numeric_limits<double>::quiet_NaN(), 0x7FC00000},
      {"timer_not_transferred", vtTimer, int32_t{5}, 0},
      {"nan_as_integer_is_zero", vtWord, std::numeric_limits<double>::quiet_NaN(), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TTavexVar v;
    v.VarType = c.type;
    v.SetValue(c.value);
    EXPECT_EQ(v.GetRawValue(), c.raw);
  }
  EXPECT_EQ(FloatBits(1.5f), 0x3FC00000u);
}

TEST(WireForm, SetRawValueByType) {
  struct Case {
    const char* name;
    uint8_t type;
    uint32_t raw;
    TVarValue value;
  } cases[] = {
      {"bit", vtBit, 0x1234, uint8_t{0x34}},
      {"word", vtWord, 0xFFFF, uint16_t{65535}},
      {"int_of_FFFF_is_minus_one", vtInt, 0x0000FFFF, int16_t{-1}},
      {"long", vtLong, 0x80000000, int32_t{INT32_MIN}},
      {"real_1_5", vtReal, 0x3FC00000, 1.5},
      {"counter", vtCounter, 0xFFFFFFFF, uint8_t{0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TTavexVar v;
    v.VarType = c.type;
    v.SetValue(int32_t{99});
    v.SetRawValue(c.raw);
    EXPECT_EQ(v.Value, c.value);
  }
}

TEST(WireForm, RealRoundTripKeepsSinglePrecisionValues) {
  for (float f : {0.0f, -0.0f, 1e-45f, 3.4e38f, -123.456f, std::numeric_limits<float>::infinity()}) {
    TTavexVar v;
    v.VarType = vtReal;
    v.SetRawValue(FloatBits(f));
    EXPECT_EQ(v.GetRawValue(), FloatBits(f)) << f;
  }
}

TEST(NumberText, Integers) {
  struct Case {
    const char* text;
    bool ok;
    int64_t value;
  } cases[] = {
      {"0", true, 0},           {"42", true, 42},       {"  -42", true, -42},     {"+7", true, 7},
      {"$FF", true, 255},       {"xff", true, 255},     {"X10", true, 16},        {"0x10", true, 16},
      {"0XfF", true, 255},      {"-$10", true, -16},    {"", false, 0},           {"-", false, 0},
      {"$", false, 0},          {"12 ", false, 0},      {"1,5", false, 0},        {"1.0", false, 0},
      {"0x", false, 0},         {"\t1", false, 0},      {"9223372036854775807", true, INT64_MAX},
      {"-9223372036854775808", true, INT64_MIN},        {"9223372036854775808", false, 0},
      {"99999999999999999999999", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    int64_t v = -99;
    EXPECT_EQ(TryParseInteger(c.text, v), c.ok);
    if (c.ok) {
      EXPECT_EQ(v, c.value);
    }
  }
}

TEST(NumberText, Int32AndHex32) {
  int32_t v = 0;
  EXPECT_TRUE(TryParseInt32("$FFFFFFFF", v));
  EXPECT_EQ(v, -1);
  EXPECT_TRUE(TryParseInt32("-2147483648", v));
  EXPECT_EQ(v, INT32_MIN);
  EXPECT_FALSE(TryParseInt32("2147483648", v));
  EXPECT_FALSE(TryParseInt32("$100000000", v));
  EXPECT_TRUE(TryParseHex32("80000000", v));
  EXPECT_EQ(v, INT32_MIN);
  EXPECT_TRUE(TryParseHex32("0000000000120", v));
  EXPECT_EQ(v, 0x120);
  EXPECT_FALSE(TryParseHex32("$120", v));
  EXPECT_FALSE(TryParseHex32("-1", v));
  EXPECT_FALSE(TryParseHex32("", v));
}

TEST(NumberText, Reals) {
  struct Case {
    const char* text;
    bool ok;
    double value;
  } cases[] = {
      {"0", true, 0},          {"1.5", true, 1.5},     {"-2.5E3", true, -2500}, {"1E-40", true, 1e-40},
      {" 3.", true, 3},        {".5", true, 0.5},      {"+1e+2", true, 100},    {"1,5", false, 0},
      {"1.5 ", false, 0},      {"", false, 0},         {".", false, 0},         {"1e", false, 0},
      {"inf", false, 0},       {"nan", false, 0},      {"0x10", false, 0},      {"1e400", true, HUGE_VAL},
      {"1e-400", true, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    double v = -99;
    EXPECT_EQ(TryParseReal(c.text, v), c.ok);
    if (c.ok) {
      EXPECT_EQ(v, c.value);
    }
  }
}

// Beyond double's range the side is where the first significant digit
// stands, not the exponent's sign: a huge mantissa with a negative exponent
// once read as 0 (and a real variable would have been written 0).
TEST(NumberText, RealsBeyondRange) {
  const std::string zeros400(400, '0');
  const struct {
    std::string text;
    double value;
  } cases[] = {
      {"0." + zeros400 + "1", 0.0},
      {"-0." + zeros400 + "1E+10", -0.0},
      {"1" + zeros400 + "E-10", HUGE_VAL},
      {"-1" + zeros400 + "E-10", -HUGE_VAL},
      {"1" + zeros400 + "E-500", 1e-100},  // long, yet within range
      {"0." + zeros400 + "1E+500", 1e99},
      {"1E-99999999999999999999", 0.0},
      {"0.5E99999999999999999999", HUGE_VAL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 12) + "... (" + std::to_string(c.text.size()) + " characters)");
    double v = -99;
    ASSERT_TRUE(TryParseReal(c.text, v));
    EXPECT_EQ(v, c.value);
    EXPECT_EQ(std::signbit(v), std::signbit(c.value));
  }
}

// A real text is rounded once, straight to the nearest single. Read through
// a double first, a text just off a midpoint between two singles lands on
// the midpoint and then rounds to the wrong neighbour; at the top of the
// range that neighbour is infinity and a valid text was refused.
TEST(NumberText, SinglesRoundOnceToNearest) {
  constexpr uint32_t kMax = 0x7F7FFFFF, kMinNormal = 0x00800000, kMinSub = 0x00000001;
  const std::string halfSub =  // exactly half the smallest subnormal: ties to even, to 0
      "7.00649232162408535461864791644958065640130970938257885878534141944895541342930300743319094181060791015625E-46";
  const std::string aboveHalfSub =
      "7.00649232162408535461864791644958065640130970938257885878534141944895541342930300743319094181060791015626E-46";
  const struct {
    std::string text;
    TSingleFit fit;
    uint32_t bits;  // with Fits
  } cases[] = {
      {"1.8", TSingleFit::Fits, 0x3FE66666},
      {"20.1", TSingleFit::Fits, 0x41A0CCCD},
      {"-0", TSingleFit::Fits, 0x80000000},
      {"0.000E-99999", TSingleFit::Fits, 0},
      {"3.4028235E38", TSingleFit::Fits, kMax},
      {"3.40282346638529E38", TSingleFit::Fits, kMax},  // above the largest, rounds down to it
      {"3.402e38", TSingleFit::Fits, 0x7F7FF023},
      {"340282356779733661637539395458142568447", TSingleFit::Fits, kMax},  // just below the midpoint to 2^128
      {"340282356779733661637539395458142568448", TSingleFit::Overflow, 0},  // the midpoint: to even, infinity
      {"-1E39", TSingleFit::Overflow, 0},
      {"1.17549435E-38", TSingleFit::Fits, kMinNormal},
      {"1.4e-45", TSingleFit::Fits, kMinSub},
      {"1E-45", TSingleFit::Fits, kMinSub},
      {"7.1e-46", TSingleFit::Fits, kMinSub},
      {aboveHalfSub, TSingleFit::Fits, kMinSub},
      {halfSub, TSingleFit::Underflow, 0},
      {"7e-46", TSingleFit::Underflow, 0},
      {"-1e-50", TSingleFit::Underflow, 0},
      {"1.000000059604644775390625000001", TSingleFit::Fits, 0x3F800001},  // not 1: above the midpoint
      {"1.000000059604644775390625", TSingleFit::Fits, 0x3F800000},        // the midpoint: to even
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 40));
    float v = 99;
    TSingleFit fit = TSingleFit::Fits;
    ASSERT_TRUE(TryParseSingle(c.text, v, fit));
    EXPECT_EQ(fit, c.fit);
    EXPECT_EQ(FloatBits(v), c.bits);
  }
  float v = 0;
  TSingleFit fit;
  for (const char* bad : {"", "1,5", "1.5 ", "inf", "nan", "0x10", "1e", "--1"}) EXPECT_FALSE(TryParseSingle(bad, v, fit)) << bad;
}

TEST(NumberText, FormatSingleIsTheShortestTextThatReadsBack) {
  auto single = [](uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
  };
  const struct {
    float value;
    const char* text;
  } cases[] = {
      {1.8f, "1.8"},
      {20.1f, "20.1"},
      {-0.0f, "-0"},
      {0.0f, "0"},
      {12.5f, "12.5"},
      {0.1f, "0.1"},
      {16777216.0f, "16777216"},
      {1e15f, "1E15"},
      {1.5e20f, "1.5E20"},
      {0.00001f, "0.00001"},
      {1.5e-6f, "1.5E-6"},
      {std::numeric_limits<float>::max(), "3.4028235E38"},
      {-std::numeric_limits<float>::max(), "-3.4028235E38"},
      {std::numeric_limits<float>::min(), "1.1754944E-38"},
      {single(0x00400000), "5.877472E-39"},  // a subnormal
      {std::numeric_limits<float>::denorm_min(), "1E-45"},
      {std::numeric_limits<float>::infinity(), "INF"},
      {-std::numeric_limits<float>::infinity(), "-INF"},
      {std::numeric_limits<float>::quiet_NaN(), "NAN"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(FormatSingle(c.value, '.'), c.text);
  }
  EXPECT_EQ(FormatSingle(1.8f, ','), "1,8");
  EXPECT_EQ(FormatSingle(1.5e-6f, ','), "1,5E-6");

  // Every 65521st bit pattern, of either sign, normal and subnormal: the
  // text reads back to the very same bits, in at most nine significant
  // digits.
  for (uint64_t b = 0; b <= 0xFFFFFFFFu; b += 65521) {
    const float f = single(static_cast<uint32_t>(b));
    if (!std::isfinite(f)) continue;
    const std::string text = FormatSingle(f, '.');
    float back = 99;
    TSingleFit fit;
    ASSERT_TRUE(TryParseSingle(text, back, fit)) << text;
    ASSERT_EQ(fit, TSingleFit::Fits) << text;
    ASSERT_EQ(FloatBits(back), static_cast<uint32_t>(b)) << text;
    std::string digits;
    for (const char ch : text.substr(0, text.find('E')))
      if (ch >= '0' && ch <= '9' && (ch != '0' || !digits.empty())) digits += ch;
    while (!digits.empty() && digits.back() == '0') digits.pop_back();
    EXPECT_LE(digits.size(), 9u) << text;
  }
}

}  // namespace
}  // namespace tavex
