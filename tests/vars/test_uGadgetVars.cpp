#include "vars/uGadgetVars.h"

#include <gtest/gtest.h>

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
      {vtBit, "2", false, {}},                {vtBit, "256", false, {}},
      {vtBit, "-1", false, {}},               {vtBit, "$FF", false, {}},
      {vtWord, "65535", true, uint16_t{65535}}, {vtWord, "65536", false, {}},
      {vtWord, "70000", false, {}},           {vtWord, "$FF", true, uint16_t{255}},
      {vtWord, " 12", true, uint16_t{12}},    {vtWord, "12 ", false, {}},
      {vtInt, "-32768", true, int16_t{-32768}}, {vtInt, "40000", false, {}},
      {vtInt, "$FF", true, int16_t{255}},     {vtLong, "-2147483648", false, {}},
      {vtLong, "-2147483647", true, int32_t{-2147483647}}, {vtLong, "$FF", true, int32_t{255}},
      {vtLong, "2147483647", true, int32_t{2147483647}}, {vtLong, "1.0", false, {}},
      {vtReal, "0", true, 0.0},               {vtReal, "1.5", true, 1.5},
      {vtReal, "-2.5E3", true, -2500.0},      {vtReal, "1E-40", true, static_cast<double>(1e-40f)},
      {vtReal, "1E39", false, {}},            {vtReal, "1,5", false, {}},
      {vtReal, "1.5 ", false, {}},            {vtReal, "", false, {}},
      {vtReal, "0.1", true, static_cast<double>(0.1f)},  // rounded to single precision
      {vtReal, "3.4E38", true, static_cast<double>(3.4e38f)}, {vtReal, "3.41E38", false, {}},
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
