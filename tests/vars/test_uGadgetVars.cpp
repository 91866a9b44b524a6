#include "vars/uGadgetVars.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>

#include "plc/uOperations.h"

namespace tavex {
namespace {

TEST(ValueFromText, ByType) {
  struct Case {
    uint8_t type;
    const char* text;
    bool ok;
    TVarValue value;
  } cases[] = {
      // The ranges of the wire forms: whatever a controller can hold is
      // accepted back.
      {vtBit, "1", true, uint8_t{1}},         {vtBit, "0", true, uint8_t{0}},
      {vtBit, "2", true, uint8_t{2}},         {vtBit, "255", true, uint8_t{255}},
      {vtBit, "256", false, {}},              {vtBit, "-1", false, {}},
      {vtBit, "$FF", true, uint8_t{255}},     {vtBit, "$100", false, {}},
      {vtWord, "65535", true, uint16_t{65535}}, {vtWord, "65536", false, {}},
      {vtWord, "70000", false, {}},           {vtWord, "$FF", true, uint16_t{255}},
      {vtWord, " 12", true, uint16_t{12}},    {vtWord, "12 ", false, {}},
      {vtWord, "-1", false, {}},
      {vtInt, "-32768", true, int16_t{-32768}}, {vtInt, "40000", false, {}},
      {vtInt, "-32769", false, {}},           {vtInt, "$FF", true, int16_t{255}},
      {vtLong, "-2147483648", true, int32_t{INT32_MIN}}, {vtLong, "-2147483649", false, {}},
      {vtLong, "-2147483647", true, int32_t{-2147483647}}, {vtLong, "$FF", true, int32_t{255}},
      {vtLong, "2147483647", true, int32_t{2147483647}}, {vtLong, "2147483648", false, {}},
      {vtLong, "1.0", false, {}},
      {vtReal, "0", true, 0.0},               {vtReal, "1.5", true, 1.5},
      {vtReal, "-2.5E3", true, -2500.0},      {vtReal, "1E-40", true, static_cast<double>(1e-40f)},
      {vtReal, "1E39", false, {}},            {vtReal, "1,5", false, {}},
      {vtReal, "1.5 ", false, {}},            {vtReal, "", false, {}},
      {vtReal, "0.1", true, static_cast<double>(0.1f)},  // rounded to single precision
      {vtReal, "3.4E38", true, static_cast<double>(3.4e38f)},
      // Up to the largest single, and what rounds to it.
      {vtReal, "3.4028235E38", true, static_cast<double>(FLT_MAX)},
      {vtReal, "3.40282346638529E38", true, static_cast<double>(FLT_MAX)},
      {vtReal, "3.402e38", true, static_cast<double>(3.402e38f)},
      {vtReal, "-3.4028235E38", true, -static_cast<double>(FLT_MAX)},
      {vtReal, "3.40282356E38", true, static_cast<double>(FLT_MAX)},  // still nearer FLT_MAX than 2^128
      {vtReal, "3.4028236E38", false, {}},
      {vtReal, "3.41E38", false, {}},         {vtReal, "1E300", false, {}},
      // Down to the smallest subnormal; below it a text would be written as 0.
      {vtReal, "1.4E-45", true, static_cast<double>(std::numeric_limits<float>::denorm_min())},
      {vtReal, "1.401298464324817E-45", true, static_cast<double>(std::numeric_limits<float>::denorm_min())},
      {vtReal, "1.1754944E-38", true, static_cast<double>(FLT_MIN)},
      {vtReal, "7E-46", false, {}},           {vtReal, "1E-50", false, {}},
      {vtReal, "-0", true, -0.0},             {vtReal, "0.0E-99", true, 0.0},
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
      // Negative zero too: its sign is a bit on the wire.
      if (const double* d = std::get_if<double>(&v))
        EXPECT_EQ(std::signbit(*d), std::signbit(std::get<double>(c.value)));
    } else {
      EXPECT_EQ(v, TVarValue(int32_t{-99}));
    }
  }
}

// Every value a controller can hold, printed as the tools print it and read
// back as a value text, writes the same bits.
TEST(ValueFromText, WhatIsPrintedReadsBackToTheSameBits) {
  auto realBits = [](float f) {
    uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
  };
  struct Case {
    uint8_t type;
    uint32_t raw;
    const char* printed;  // as printed; nullptr: not checked
  } cases[] = {
      {vtBit, 0, "0"},
      {vtBit, 255, "255"},
      {vtWord, 0, "0"},
      {vtWord, 65535, "65535"},
      {vtInt, 0xFFFF8000u, "-32768"},
      {vtInt, 32767, "32767"},
      {vtLong, 0x80000000u, "-2147483648"},
      {vtLong, 0x7FFFFFFFu, "2147483647"},
      {vtReal, realBits(FLT_MAX), "3.4028235E38"},
      {vtReal, realBits(-FLT_MAX), "-3.4028235E38"},
      {vtReal, realBits(FLT_MIN), "1.1754944E-38"},
      {vtReal, realBits(1e-40f), "1E-40"},
      {vtReal, realBits(std::numeric_limits<float>::denorm_min()), "1E-45"},
      {vtReal, 0x80000000u, "-0"},
      {vtReal, 0, "0"},
      {vtReal, realBits(1.8f), "1.8"},
      {vtReal, realBits(20.1f), "20.1"},
      {vtReal, realBits(-0.5f), "-0.5"},
      {vtReal, realBits(123456789.0f), "123456790"},
      {vtReal, realBits(1e15f), "1E15"},
      {vtReal, realBits(0.00001f), "0.00001"},
      {vtReal, realBits(0.000001f), "1E-6"},
      {vtReal, realBits(16777217.0f), "16777216"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.type) + " " + std::to_string(c.raw));
    TTavexVar read;
    read.VarType = c.type;
    read.SetRawValue(c.raw);
    const std::string text = ElementText(read, '.');
    if (c.printed != nullptr) EXPECT_EQ(text, c.printed);
    TVarValue v;
    ASSERT_TRUE(ValueFromText(c.type, text, v)) << text;
    TTavexVar written;
    written.VarType = c.type;
    written.SetValue(v);
    EXPECT_EQ(written.GetRawValue(), c.raw) << text;
  }
  // Every single between 1 and 2 in steps of 2^-10, and a spread of
  // magnitudes, round trips too.
  for (int e = -45; e <= 38; ++e) {
    for (int k = 0; k < 1024; k += 37) {
      const float f = static_cast<float>((1.0 + k / 1024.0) * std::pow(10.0, e));
      if (!std::isfinite(f) || f == 0) continue;
      TTavexVar read;
      read.VarType = vtReal;
      read.SetRawValue(realBits(f));
      TVarValue v;
      ASSERT_TRUE(ValueFromText(vtReal, ElementText(read, '.'), v)) << ElementText(read, '.');
      TTavexVar written;
      written.VarType = vtReal;
      written.SetValue(v);
      ASSERT_EQ(written.GetRawValue(), realBits(f)) << ElementText(read, '.');
    }
  }
}

TEST(ValueFromText, TypesNotTransferredHaveNoValueText) {
  for (const uint8_t t : {vtTimer, vtCounter, vtConst, vtVoid, vtTimerBit, vtTimerLong, vtCounterBit,
                          vtCounterLong}) {
    SCOPED_TRACE(static_cast<int>(t));
    EXPECT_FALSE(IsTransferred(t));
    TTavexVar e;
    e.VarType = t;
    e.SetRawValue(1234);
    EXPECT_EQ(ElementText(e, '.'), "?");  // never a value nobody read
    TVarValue v;
    EXPECT_FALSE(ValueFromText(t, "0", v));
  }
  for (const uint8_t t : {vtBit, vtWord, vtInt, vtLong, vtReal}) EXPECT_TRUE(IsTransferred(t));
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
