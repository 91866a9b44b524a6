// The allocation file of a controller's program and the variables parsed
// from it: one TTavexVar per global variable and per array element, with its
// address, type and current value, and the value's wire form.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "hostutil/uException.h"

namespace tavex {

// Scope codes of column 6.
enum : uint8_t { scGlobal = 1, scLocal = 2, scReg = 3 };

// Type codes of column 7.
enum : uint8_t {
  vtBit = 1,
  vtWord = 2,
  vtInt = 3,
  vtLong = 4,
  vtReal = 5,
  vtTimer = 6,
  vtCounter = 7,
  vtConst = 8,
  vtVoid = 9,
  vtTimerBit = 10,
  vtTimerLong = 11,
  vtCounterBit = 12,
  vtCounterLong = 13,
};

// A variable's value: bit, word, int, long, real (held as a 64-bit real).
using TVarValue = std::variant<uint8_t, uint16_t, int16_t, int32_t, double>;

// The marker that starts the parsed region of an allocation text (note the
// trailing space).
inline constexpr std::string_view kAlcMarker = ";CPU Tavex-2 ";

// Bounds that keep a hostile allocation text from exhausting memory.
// More elements than a 16-bit wire address reaches make no sense in one line.
inline constexpr int32_t kMaxAlcElementsPerLine = 65536;
// Estimated heap use of one list, elements and their texts together.
inline constexpr size_t kMaxAlcListBytes = 32u * 1024 * 1024;
// A bad line's text in the parser's message is cut to this many bytes.
inline constexpr size_t kAlcQuotedLineMax = 80;

uint8_t ScopeFromText(std::string_view Text);  // 0 when unknown
uint8_t TypeFromText(std::string_view Text);   // 0 when unknown
// The type keyword ("word", "timer"), or "?" for no known type.
const char* TypeKeyword(uint8_t VarType);
// True for the types whose values travel to and from a controller (bit,
// word, int, long, real); an element of any other type is never read or
// written, so it has no value to show.
bool IsTransferred(uint8_t VarType);

// The value as an integer: integers as they are, a real rounded to nearest
// (ties to even) and saturated to int64; NaN gives 0.
int64_t ValueAsInteger(const TVarValue& Value);
// The value as a real.
double ValueAsReal(const TVarValue& Value);
// The value as the wire form of "real" carries it: rounded to single
// precision (to nearest, beyond the largest single to infinity).
float ValueAsSingle(const TVarValue& Value);

class TTavexVar {
 public:
  int32_t Address = 0;
  int32_t Stride = 0;
  int32_t Count = 0;
  int32_t Offset = 0;
  uint8_t Scope = 0;
  uint8_t VarType = 0;
  bool Flag1 = false;
  bool Flag0 = false;
  std::string Name;
  std::string Comment;
  TVarValue Value = uint8_t{0};
  int32_t Index = 0;
  // The value came from the controller or from an accepted value text; a
  // freshly parsed element holds the parser's 0, which must never be
  // written to a controller.
  bool ValueKnown = false;

  TTavexVar() = default;
  TTavexVar(std::string Name, int32_t Address, int32_t Stride, int32_t Count, int32_t Index,
            int32_t Offset, uint8_t Scope, uint8_t VarType, bool Flag1, bool Flag0,
            std::string Comment, TVarValue Value);

  // Copies every field, the value included; nullptr does nothing.
  void Assign(const TTavexVar* Source);
  bool IsArray() const { return Count > 1; }
  // Address + Offset (+ Index * Stride for an array), 32-bit wrap-around.
  int32_t GetAddress() const;
  // The value in wire form by VarType (0 for types that are not transferred).
  uint32_t GetRawValue() const;
  // Sets the value from its wire form by VarType; the value is then known.
  void SetRawValue(uint32_t Raw);
  // Sets the value; it is then known.
  void SetValue(const TVarValue& V) {
    Value = V;
    ValueKnown = true;
  }
};

class TTavexVarList {
 public:
  TTavexVarList() = default;
  ~TTavexVarList() { Clear(); }
  TTavexVarList(const TTavexVarList&) = delete;
  TTavexVarList& operator=(const TTavexVarList&) = delete;

  // Takes ownership; returns the position.
  int Add(std::unique_ptr<TTavexVar> Item);
  int Count() const { return static_cast<int>(Items_.size()); }
  // nullptr when Index is out of range.
  TTavexVar* Items(int Index) const;
  // Frees every element, last first.
  void Clear();

  // Parses one line and appends its elements. True for a data line or a
  // skipped line (";CPU", ";Addr", blank, a single word); false when the line
  // cannot be parsed or would break the bounds above.
  bool ParseLine(std::string_view Line);

  // Parses the lines from the marker line on (every line when Nad is -1).
  // A bad line throws Exception with "Error parsing ALC data on line N: " and
  // the line in double quotes, as in: Error parsing ALC data on line 3:
  // "0700 0 1 0 0 global float x". N counts from 1, as an editor does; the
  // line is cut to kAlcQuotedLineMax bytes ("..." then follows) and its
  // control characters show as '?'. Elements of earlier lines stay in the
  // list.
  void LoadFromAlc(const std::vector<std::string>& Lines, int64_t Nad);
  // The same over a whole text, split at CR, LF or CR LF without copying it.
  void LoadFromAlcText(std::string_view Text, int64_t Nad);

 private:
  void LoadLine(std::string_view Line, size_t LineNo, int64_t Nad, bool& Started);

  std::vector<std::unique_ptr<TTavexVar>> Items_;
  size_t EstimatedBytes_ = 0;
};

}  // namespace tavex
