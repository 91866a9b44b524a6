#include "vars/uGadgetVars.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

namespace tavex {
namespace {

TEST(ValueFromText, ByType) {
  struct Case {
    uint8_t type;
    const char* text;
    bool ok;
    TVarValue value;
  } cases[] = {
      {vtBit, "1", true, uint8_t{1}},         {vtBit, "0", true, uint8_t{0}},
      {vtBit, "255", true, uint8_t{255}},     {vtBit, "256", false, {}},
      {vtBit, "-1", false, {}},               {vtBit, "$FF", true, uint8_t{255}},
      {vtWord, "65535", true, uint16_t{65535}}, {vtWord, "65536", false, {}},
      {vtWord, "70000", false, {}},           {vtWord, "$FF", true, uint16_t{255}},
      {vtWord, " 12", true, uint16_t{12}},    {vtWord, "12 ", false, {}},
      {vtInt, "-32768", true, int16_t{-32768}}, {vtInt, "40000", false, {}},
      {vtInt, "$FF", true, int16_t{255}},     {vtLong, "-2147483648", true, int32_t{INT32_MIN}},
      {vtLong, "-2147483647", true, int32_t{-2147483647}}, {vtLong, "$FF", true, int32_t{255}},
      {vtLong, "2147483647", true, int32_t{2147483647}}, {vtLong, "1.0", false, {}},
      {vtLong, "2147483648", false, {}},      {vtLong, "-2147483649", false, {}},
      {vtReal, "0", true, 0.0},               {vtReal, "1.5", true, 1.5},
      {vtReal, "-2.5E3", true, -2500.0},      {vtReal, "1E-40", true, static_cast<double>(1e-40f)},
      {vtReal, "1E39", false, {}},            {vtReal, "1,5", false, {}},
      {vtReal, "1.5 ", false, {}},            {vtReal, "", false, {}},
      {vtReal, "0.1", true, static_cast<double>(0.1f)},  // rounded to single precision
      {vtReal, "3.4E38", true, static_cast<double>(3.4e38f)}, {vtReal, "3.41E38", false, {}},
      // Every text that rounds to a finite single, and no other.
      {vtReal, "3.40282346638529E38", true, static_cast<double>(FLT_MAX)},
      {vtReal, "3.402e38", true, static_cast<double>(3.402e38f)},
      {vtReal, "1.4e-45", true, static_cast<double>(FLT_TRUE_MIN)},
      {vtReal, "7.1e-46", true, static_cast<double>(FLT_TRUE_MIN)},
      {vtReal, "7e-46", false, {}},           {vtReal, "-1e-50", false, {}},
      {vtReal, "3.4028236E38", false, {}},    {vtReal, "1e999", false, {}},
      {vtReal, "inf", false, {}},             {vtReal, "nan", false, {}},
      {vtTimer, "5", false, {}},              {vtCounter, "5", false, {}},
      {vtWord, "?", false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(TypeFromText("bit") == c.type ? "bit " : "") + c.text + " type " +
                 std::to_string(c.type));
    TVarValue v = int32_t{-99};
    EXPECT_EQ(ValueFromText(c.type, c.text, v), c.ok);
    if (c.ok) {
      EXPECT_EQ(v, c.value);
    } else {
      EXPECT_EQ(v, TVarValue(int32_t{-99}));
    }
  }
}

TEST(ValueFromText, NegativeZeroKeepsItsSign) {
  TVarValue v;
  ASSERT_TRUE(ValueFromText(vtReal, "-0", v));
  EXPECT_TRUE(std::signbit(std::get<double>(v)));
  ASSERT_TRUE(ValueFromText(vtReal, "-0.0E5", v));
  EXPECT_TRUE(std::signbit(std::get<double>(v)));
  ASSERT_TRUE(ValueFromText(vtWord, "-0", v));
  EXPECT_EQ(v, TVarValue(uint16_t{0}));
}

// A refused text says why where the limits are not obvious: a real's range
// ends are named as the tool prints them, and a type that is never
// transferred is named.
TEST(ValueFromText, SaysWhyWhereTheLimitsExplainIt) {
  const struct {
    uint8_t type;
    const char* text;
    const char* why;
  } cases[] = {
      {vtReal, "1e39", "beyond the largest real, 3.4028235E38"},
      {vtReal, "-3.4028236E38", "beyond the largest real, 3.4028235E38"},
      {vtReal, "7e-46", "not 0, but nearer 0 than the smallest real, 1E-45"},
      {vtReal, "x", ""},
      {vtWord, "70000", ""},
      {vtTimer, "5", "timer variables are not transferred"},
      {vtCounter, "5", "counter variables are not transferred"},
      {vtCounterLong, "0", "counterlong variables are not transferred"},
      {0, "5", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    TVarValue v;
    std::string why = "stale";
    EXPECT_FALSE(ValueFromText(c.type, c.text, v, &why));
    EXPECT_EQ(why, c.why);
  }
  std::string why = "stale";
  TVarValue v;
  EXPECT_TRUE(ValueFromText(vtReal, "1.8", v, &why));
  EXPECT_EQ(why, "");
}

TEST(GadgetVar, CreateAndLink) {
  TGadgetVar read("1000.speed", "speed", 1000, -1, "");
  EXPECT_FALSE(read.WritePending);
  EXPECT_TRUE(read.ReadRequested);
  EXPECT_FALSE(read.HasIndex());
  EXPECT_TRUE(TGadgetVar("k", "n", 1, 0, "").HasIndex());

  TTavexVar e("speed", 0x100, 2, 1, 0, 0, scGlobal, vtWord, false, false, "", uint16_t{7});
  TGadgetVar bad("k", "speed", 1000, -1, "70000");
  bad.LinkTo(&e);
  EXPECT_EQ(bad.Link, &e);
  EXPECT_EQ(e.Value, TVarValue(uint16_t{7}));  // rejected: unchanged
  EXPECT_FALSE(e.ValueKnown);

  TGadgetVar good("k", "speed", 1000, -1, "300");
  EXPECT_TRUE(good.WritePending);
  good.LinkTo(&e);
  EXPECT_EQ(e.Value, TVarValue(uint16_t{300}));
  EXPECT_TRUE(e.ValueKnown);

  good.LinkTo(nullptr);
  EXPECT_EQ(good.Link, nullptr);
}

TEST(GadgetVarList, OwningListFreesViewsDoNot) {
  // Under the address sanitizer a view that freed its requests, or an owner
  // that did not, fails this test.
  TGadgetVarList owner;
  {
    TGadgetVarList view(false);
    for (int i = 0; i < 3; ++i) {
      auto* r = new TGadgetVar("k" + std::to_string(i), "n", 1, -1, "");
      owner.Add(r);
      view.Add(r);
    }
    view.Detach();
    EXPECT_EQ(view.Count(), 0);
    view.Add(owner.Items(0));
    view.Clear();
    view.Add(owner.Items(1));
  }  // a view going out of scope frees nothing either
  for (int i = 0; i < 3; ++i) EXPECT_EQ(owner.Items(i)->Key, "k" + std::to_string(i));
  EXPECT_EQ(owner.Items(-1), nullptr);
  EXPECT_EQ(owner.Items(3), nullptr);
  TTavexVar e;
  owner.Items(1)->Link = &e;
  owner.Unlink();
  EXPECT_EQ(owner.Items(1)->Link, nullptr);
  owner.Clear();
  EXPECT_EQ(owner.Count(), 0);
}

}  // namespace
}  // namespace tavex
