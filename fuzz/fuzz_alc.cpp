// The allocation parser over arbitrary text: the whole text and its lines,
// for a controller whose NAD is unknown (every line is parsed) and for one
// whose NAD is known (only from the marker line on). Both forms must agree,
// element for element and in their error.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "vars/uTavexVars.h"

using namespace tavex;

namespace {

// Lines end at CR, LF or CR LF; a final line break opens no further line.
std::vector<std::string> Lines(std::string_view text) {
  std::vector<std::string> lines;
  std::string cur;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(cur);
      cur.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) lines.push_back(cur);
  return lines;
}

struct TResult {
  bool Raised = false;
  std::string Message;
};

template <class F>
TResult Load(F&& f) {
  TResult r;
  try {
    f();
  } catch (const Exception& e) {
    r.Raised = true;
    r.Message = e.what();
  }
  return r;
}

bool SameElement(const TTavexVar& a, const TTavexVar& b) {
  return a.Address == b.Address && a.Stride == b.Stride && a.Count == b.Count &&
         a.Offset == b.Offset && a.Scope == b.Scope && a.VarType == b.VarType &&
         a.Flag0 == b.Flag0 && a.Flag1 == b.Flag1 && a.Name == b.Name && a.Comment == b.Comment &&
         a.Index == b.Index && a.Value == b.Value;
}

uint32_t Expected(uint8_t type, uint32_t raw) {
  switch (type) {
    case vtBit: return raw & 0xFF;
    case vtWord: return raw & 0xFFFF;
    case vtInt: return static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(raw & 0xFFFF)));
    case vtLong:
    case vtReal: return raw;
    default: return 0;
  }
}

void CheckList(TTavexVarList& list, uint32_t raw) {
  // A hostile text cannot make the list outgrow its bound.
  FUZZ_CHECK(static_cast<size_t>(list.Count()) * sizeof(TTavexVar) <= kMaxAlcListBytes);
  for (int i = 0; i < list.Count(); ++i) {
    TTavexVar* v = list.Items(i);
    FUZZ_CHECK(v != nullptr);
    FUZZ_CHECK(v->Count >= 1 && v->Count <= kMaxAlcElementsPerLine);
    FUZZ_CHECK(v->Index >= 0 && v->Index < v->Count);
    FUZZ_CHECK(v->Scope == scGlobal);
    FUZZ_CHECK(v->VarType >= vtBit && v->VarType <= vtCounterLong && v->VarType != vtConst);
    FUZZ_CHECK(!v->Name.empty());
    FUZZ_CHECK(v->Address != -1 && v->Count != -1 && v->Offset != -1 && v->Stride != -1);
    FUZZ_CHECK(!v->ValueKnown && v->Value == TVarValue{uint8_t{0}});
    // Address arithmetic wraps at 32 bits, never overflows.
    uint32_t a = static_cast<uint32_t>(v->Address) + static_cast<uint32_t>(v->Offset);
    if (v->IsArray()) a += static_cast<uint32_t>(v->Index) * static_cast<uint32_t>(v->Stride);
    FUZZ_CHECK(static_cast<uint32_t>(v->GetAddress()) == a);
    FUZZ_CHECK(v->GetRawValue() == 0);
    // The wire form goes and comes back as the type allows (a NaN's payload
    // may change on the way through a double).
    v->SetRawValue(raw);
    float f;
    std::memcpy(&f, &raw, sizeof f);
    if (!(v->VarType == vtReal && std::isnan(f))) FUZZ_CHECK(v->GetRawValue() == Expected(v->VarType, raw));
  }
  FUZZ_CHECK(list.Items(-1) == nullptr && list.Items(list.Count()) == nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> lines = Lines(text);
  uint32_t raw = 0x3FC00000;
  if (size >= 4) std::memcpy(&raw, data, 4);

  for (int64_t nad : {int64_t{-1}, int64_t{1000}}) {
    TTavexVarList a, b;
    const TResult ra = Load([&] { a.LoadFromAlcText(text, nad); });
    const TResult rb = Load([&] { b.LoadFromAlc(lines, nad); });
    FUZZ_CHECK(ra.Raised == rb.Raised && ra.Message == rb.Message);
    if (ra.Raised) FUZZ_CHECK(ra.Message.rfind("Error parsing ALC data on line ", 0) == 0);
    FUZZ_CHECK(a.Count() == b.Count());
    for (int i = 0; i < a.Count(); ++i) FUZZ_CHECK(SameElement(*a.Items(i), *b.Items(i)));
    // The elements of both runs are alike; one check of them is enough.
    if (nad == -1) CheckList(a, raw);
    a.Clear();
    FUZZ_CHECK(a.Count() == 0);
  }

  // One line on its own, as the parser's callers may hand it.
  TTavexVarList one;
  const std::string_view first = text.substr(0, text.find_first_of("\r\n"));
  if (one.ParseLine(first)) CheckList(one, raw);
  return 0;
}
