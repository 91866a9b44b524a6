// A simulator scenario: the controllers to emulate, their memory contents and
// their fault modes, read from JSON. Every key is checked: an unknown or
// misspelt key is an error, so that a fault that was meant to be injected is
// never silently left out.
//
// Shape (only "controllers", "nad", "ip" and each variable's "name" and
// "type" are required):
//   {"seed": 7, "log_limit": 100000,
//    "controllers": [{"nad": 1000, "ip": "127.0.0.2", "port": 8442,
//      "password": "", "status": [1, 2], "stamp": 1,
//      "stamp_changes": [{"after_requests": 10, "stamp": 2}],
//      "has_program": true, "clock": "local" | "2026-12-06T09:05:03",
//      "variables": [{"name": "speed", "type": "word", "count": 1,
//        "scope": "global", "address": 256, "offset": 0, "stride": 2,
//        "flags": 0, "value": 0 | [..], "comment": "..."}],
//      "alc_text": "...", "alc_zip_base64": "...", "alc_zip_file": "path",
//      "alc_entry": {"present": true, "name": "alc.zip", "name_length": 7,
//        "address": 132352, "size": 1000},
//      "extra_files": [{"name": "prog.bin", "size": 100, "before_alc": true,
//        "name_length": 8, "address": 0, "content": "text" | "hex": "00FF"}],
//      "header": {"word0": 0, "magic": 31415, "directory_address": 132352,
//        "entry_count": 2},
//      "memory_patches": [{"address": 131140, "hex": "FFFF"}],
//      "faults": {...}}]}
// Integer fields also accept a text "0x..." (hexadecimal) or decimal text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace tavex::sim {

inline constexpr uint16_t kDefaultPort = 8442;
inline constexpr uint32_t kMaxVariables = 10000;     // per controller
inline constexpr int32_t kMaxVariableCount = 65536;  // elements of one variable
inline constexpr size_t kMaxAlcBytes = 16u * 1024 * 1024;  // alc text or archive
inline constexpr uint32_t kCodeMemorySize = 0x1000000;     // 24-bit code address space
inline constexpr uint32_t kVarMemorySize = 0x10000;        // 16-bit variable addresses
inline constexpr uint32_t kFirstAutoAddress = 0x0100;

// Fault modes of one controller. Probabilities are 0..1 (true = 1); they are
// drawn from the controller's own deterministic generator.
struct TFaults {
  double Drop = 0;            // request lost: not carried out, no answer
  double DropAnswer = 0;      // request carried out, its answer lost
  double Duplicate = 0;       // answer sent twice
  double Corrupt = 0;         // one byte of the answer altered
  int32_t CorruptAt = -1;     // that byte's position (-1: random)
  double Split = 0;           // answer sent as two datagrams
  int32_t SplitAt = -1;       // size of the first part (-1: half)
  double Junk = 0;            // junk bytes before the frame, same datagram
  uint32_t JunkBytes = 4;
  double WrongDirection = 0;  // answer carries Direction 0
  uint32_t DelayMs = 0;       // answers delayed by this much
  double DelayChance = 1;     // the share of answers that DelayMs hits
  uint32_t DuplicateDelayMs = 0;  // a duplicate's copy follows its original this much later
  // A copy of the answer also goes to the port that the latest request
  // received by another controller came from (a mixed-up forwarding, or a
  // late answer reaching a port that the system handed out again).
  double Crosstalk = 0;
  bool IgnoreWrites = false;  // write requests answered, memory unchanged
  bool Silent = false;        // never answers
  std::optional<uint64_t> SilentAfterRequests;  // answers the first N, then silent
  // When not empty, the answer faults above (drop .. delay) only hit these
  // command codes; silence and ignored writes always apply.
  std::vector<uint8_t> OnlyCommands;
};

struct TStampChange {
  uint64_t AfterRequests = 0;  // takes effect once this many requests were handled
  uint32_t Stamp = 0;
};

struct TSimVariable {
  std::string Name;
  uint8_t VarType = 0;  // type code of the allocation text (vtBit ..)
  uint8_t Scope = 1;    // scGlobal
  int32_t Count = 1;
  uint32_t Address = 0;  // resolved by ParseScenario when absent
  bool AddressGiven = false;
  int32_t Offset = 0;
  int32_t Stride = 0;  // resolved: element size when absent
  uint32_t Flags = 0;
  std::vector<uint32_t> RawValues;  // wire form per element; missing elements are 0
  std::string Comment;
};

// A directory entry of the code memory; every field may lie on purpose.
struct TExtraFile {
  std::string Name;
  std::optional<uint16_t> NameLength;  // default: the name's length
  std::optional<uint32_t> Address;     // default: placed after the directory
  std::optional<uint32_t> Size;        // default: the data's length
  std::vector<uint8_t> Data;           // written at the address (none: memory stays zero)
  bool BeforeAlc = false;
};

struct TAlcEntry {
  bool Present = true;
  std::string Name = "alc.zip";
  std::optional<uint16_t> NameLength;
  std::optional<uint32_t> Address;  // moves the archive itself there (clipped at the top)
  std::optional<uint32_t> Size;     // the claimed size only
};

struct THeaderOverrides {
  std::optional<uint16_t> Word0;
  std::optional<uint16_t> Magic;
  std::optional<uint32_t> DirectoryAddress;
  std::optional<uint16_t> EntryCount;
};

struct TMemoryPatch {
  uint32_t Address = 0;
  std::vector<uint8_t> Bytes;
};

struct TControllerConfig {
  uint32_t Nad = 0;
  std::string Ip;
  uint16_t Port = kDefaultPort;  // 0: one free port chosen at start for all such controllers
  std::optional<std::string> Password;  // absent: every password hash is accepted
  uint8_t Status[2] = {1, 2};
  uint32_t Stamp = 1;
  std::vector<TStampChange> StampChanges;
  bool HasProgram = true;
  bool ClockLocal = true;     // start from the workstation's local time
  int64_t ClockStart = 0;     // else: civil seconds since 1970-01-01T00:00:00
  std::vector<TSimVariable> Variables;
  std::optional<std::string> AlcText;          // replaces the generated text
  std::optional<std::vector<uint8_t>> AlcZip;  // replaces the generated archive
  TAlcEntry AlcEntry;
  std::vector<TExtraFile> ExtraFiles;
  THeaderOverrides Header;
  std::vector<TMemoryPatch> MemoryPatches;
  TFaults Faults;
};

struct TScenario {
  uint64_t Seed = 1;
  size_t LogLimit = 1000000;  // entries kept in memory; older ones are dropped
  std::vector<TControllerConfig> Controllers;
};

// Reads a scenario. Throws std::runtime_error naming the offending path, e.g.
// `controllers[0].faults: unknown key "dorp"`. BaseDir resolves relative file
// keys ("alc_zip_file").
TScenario ParseScenario(const nlohmann::json& Json, const std::string& BaseDir = "");
// Reads and parses a JSON file; relative file keys are taken from its folder.
TScenario LoadScenarioFile(const std::string& Path);
// Parses only the "faults" object of a controller (for SetFaults at run time).
TFaults ParseFaults(const nlohmann::json& Json, const std::string& Path = "faults");

// Element size in variable memory by type code (0 for const and unknown).
uint32_t ElementSize(uint8_t VarType);
// Keyword of a type or scope code ("word", "global"); empty when unknown.
const char* TypeKeyword(uint8_t VarType);
const char* ScopeKeyword(uint8_t Scope);

// Base64 (RFC 4648, with padding). Decode throws std::runtime_error on bad input.
std::string Base64Encode(const std::vector<uint8_t>& Bytes);
std::vector<uint8_t> Base64Decode(const std::string& Text);

// Civil time in seconds since 1970-01-01 (no time zone) and back.
struct TCivilTime {
  int Year = 1970, Month = 1, Day = 1, Hour = 0, Minute = 0, Second = 0;
  int Weekday = 4;  // 0 = Sunday
};
int64_t CivilToSeconds(const TCivilTime& T);
TCivilTime SecondsToCivil(int64_t Seconds);
bool IsValidCivil(const TCivilTime& T);  // year 1970..9999 and real calendar fields

}  // namespace tavex::sim
