// The controller simulator, driven from outside over loopback UDP with the
// frame codec, and its archives read back with the tool's own independent
// readers (zip reader, allocation parser).
#include "sim/uSimulator.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <asio.hpp>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "abus/uABus.h"
#include "hostutil/uMemoryStream.h"
#include "hostutil/uZipFile.h"
#include "vars/uTavexVars.h"

namespace tavex::sim {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------- helpers

json Variables() {
  return json::parse(R"([
    {"name": "enable", "type": "bit", "value": 1},
    {"name": "speed", "type": "word", "value": 1500, "comment": "Motor speed rpm"},
    {"name": "trim", "type": "int", "value": -12},
    {"name": "total", "type": "long", "value": -100000},
    {"name": "setpoint", "type": "real", "value": 1.5},
    {"name": "relay", "type": "bit", "count": 4, "value": [1, 0, 1, 1], "flags": 3},
    {"name": "t1", "type": "timer"},
    {"name": "limit", "type": "const", "address": 500},
    {"name": "tmp", "type": "word", "scope": "local"}
  ])");
}

json Controller(uint32_t Nad, const std::string& Ip) {
  return {{"nad", Nad}, {"ip", Ip}, {"port", 0}, {"variables", Variables()}};
}

json OneController() { return {{"controllers", {Controller(1000, "127.0.0.2")}}}; }

json ThreeControllers() {
  return {{"controllers",
           {Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3"), Controller(1002, "127.0.0.4")}}};
}

Bytes Request(uint32_t Dest, uint8_t Command, Bytes Data = {}, uint16_t Hash = 0) {
  const auto n = static_cast<uint16_t>(Data.size());
  Data.resize(Data.size() + kFrameOverhead);
  uint16_t len = n;
  EXPECT_TRUE(BuildFrame(1, Dest, Command, 0, 0, Data, len, Hash));
  Data.resize(len);
  return Data;
}

void Put16(Bytes& B, uint16_t V) {
  B.push_back(static_cast<uint8_t>(V));
  B.push_back(static_cast<uint8_t>(V >> 8));
}

Bytes ReadBlockData(uint16_t Page, uint16_t Count) {
  Bytes b;
  Put16(b, Page);
  Put16(b, Count);
  return b;
}

// Counts, then addresses, then (for a write) the packed values.
Bytes VarsData(uint16_t NB, uint16_t NW, uint16_t NL, const std::vector<uint16_t>& Addresses,
               const Bytes& Values = {}) {
  Bytes b;
  Put16(b, NB);
  Put16(b, NW);
  Put16(b, NL);
  for (uint16_t a : Addresses) Put16(b, a);
  b.insert(b.end(), Values.begin(), Values.end());
  return b;
}

struct TAnswer {
  uint32_t Source = 0, Dest = 0;
  uint8_t Direction = 0, Aux = 0;
  Bytes Payload;
};

// Parses with the codec's own validator; nullopt for anything but one whole valid frame.
std::optional<TAnswer> Parse(const Bytes& Frame) {
  std::string rx = BytesToHex(Frame.data(), Frame.size());
  std::string frameText, payloadText;
  TAnswer a;
  if (!ParseFrame(rx, frameText, a.Source, a.Dest, a.Direction, a.Aux, payloadText) || !rx.empty())
    return std::nullopt;
  a.Payload.resize(payloadText.size() / 2 + 1);
  int n = 0;
  HexToBytes(payloadText, a.Payload, n, false);
  a.Payload.resize(static_cast<size_t>(n));
  return a;
}

struct TDatagram {
  Bytes Data;
  std::string FromIp;
  std::chrono::steady_clock::time_point At;
};

// A station on 127.0.0.1, like the tool: sends requests, collects datagrams.
class TClient {
 public:
  TClient() : Socket_(Io_) {
    Socket_.open(asio::ip::udp::v4());
    Socket_.set_option(asio::socket_base::broadcast(true));
    Socket_.bind({asio::ip::make_address_v4("127.0.0.1"), 0});
    Socket_.non_blocking(true);
  }

  void Send(const std::string& Ip, uint16_t Port, const Bytes& Frame) {
    Socket_.send_to(asio::buffer(Frame), {asio::ip::make_address_v4(Ip), Port});
  }

  // Datagrams that arrive within Window; returns early once Max have come.
  std::vector<TDatagram> Receive(std::chrono::milliseconds Window, size_t Max = SIZE_MAX) {
    std::vector<TDatagram> out;
    const auto end = std::chrono::steady_clock::now() + Window;
    while (out.size() < Max) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{Socket_.native_handle(), POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      std::array<uint8_t, 4096> buf;
      asio::ip::udp::endpoint from;
      asio::error_code ec;
      const size_t n = Socket_.receive_from(asio::buffer(buf), from, 0, ec);
      if (ec) continue;
      out.push_back({Bytes(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n)),
                     from.address().to_string(), std::chrono::steady_clock::now()});
    }
    return out;
  }

  // One request, one datagram back (or nullopt after Window).
  std::optional<TDatagram> Transact(const std::string& Ip, uint16_t Port, const Bytes& Frame,
                                    std::chrono::milliseconds Window = 1000ms) {
    Send(Ip, Port, Frame);
    auto got = Receive(Window, 1);
    if (got.empty()) return std::nullopt;
    return got.front();
  }

 private:
  asio::io_context Io_;
  asio::ip::udp::socket Socket_;
};

class SimTest : public ::testing::Test {
 protected:
  void StartWith(const json& Scenario) {
    Sim = std::make_unique<TSimulator>(ParseScenario(Scenario));
    std::string error;
    ASSERT_TRUE(Sim->Start(&error)) << error;
  }
  uint16_t Port(uint32_t Nad = 1000) const { return Sim->Port(Nad); }

  // Sends one request to a controller and returns the parsed answer.
  std::optional<TAnswer> Ask(const Bytes& Frame, const std::string& Ip = "127.0.0.2", uint32_t Nad = 1000) {
    auto d = Client.Transact(Ip, Port(Nad), Frame);
    if (!d) return std::nullopt;
    return Parse(d->Data);
  }

  // The last log entry, once the simulator has logged at least Count entries.
  json LastLog(size_t Count) {
    EXPECT_TRUE(Sim->WaitForLog(Count, 1000ms));
    auto log = Sim->Log();
    return log.empty() ? json() : log.back();
  }

  // Reads any range of code memory page by page, as a tool would.
  Bytes ReadMemory(uint32_t Address, uint32_t Size) {
    Bytes out;
    uint32_t a = Address;
    while (a < Address + Size) {
      const uint32_t page = a / 256, off = a % 256;
      const uint32_t n = std::min<uint32_t>(256, off + (Address + Size - a));
      auto ans = Ask(Request(1000, 33, ReadBlockData(static_cast<uint16_t>(page), static_cast<uint16_t>(n))));
      if (!ans || ans->Payload.size() != n) return {};
      out.insert(out.end(), ans->Payload.begin() + off, ans->Payload.end());
      a = (page + 1) * 256;
    }
    return out;
  }

  TClient Client;
  std::unique_ptr<TSimulator> Sim;
};

uint16_t U16(const Bytes& B, size_t At) { return static_cast<uint16_t>(B[At] | (B[At + 1] << 8)); }
uint32_t U32(const Bytes& B, size_t At) {
  return static_cast<uint32_t>(B[At] | (B[At + 1] << 8) | (B[At + 2] << 16)) | (static_cast<uint32_t>(B[At + 3]) << 24);
}

// ---------------------------------------------------------------- scenario

TEST(Scenario, DefaultsOfAMinimalController) {
  const TScenario s = ParseScenario(json::parse(R"({"controllers": [{"nad": 1000, "ip": "127.0.0.2"}]})"));
  ASSERT_EQ(s.Controllers.size(), 1u);
  const TControllerConfig& c = s.Controllers[0];
  EXPECT_EQ(c.Port, 8442);
  EXPECT_FALSE(c.Password.has_value());
  EXPECT_EQ(c.Status[0], 1);
  EXPECT_EQ(c.Status[1], 2);
  EXPECT_EQ(c.Stamp, 1u);
  EXPECT_TRUE(c.HasProgram);
  EXPECT_TRUE(c.ClockLocal);
  EXPECT_TRUE(c.Variables.empty());
  EXPECT_EQ(c.Faults.Drop, 0);
  EXPECT_FALSE(c.Faults.Silent);
}

TEST(Scenario, TheDocumentedExampleParses) {
  const TScenario s = ParseScenario(json::parse(R"({"controllers": [{"nad": 1000, "ip": "127.0.0.2",
      "port": 8442, "password": "", "status": [1, 2], "stamp": 1,
      "variables": [{"name": "speed", "type": "word", "count": 1, "scope": "global", "value": 0}]}]})"));
  ASSERT_EQ(s.Controllers[0].Variables.size(), 1u);
  EXPECT_EQ(s.Controllers[0].Variables[0].Address, 0x0100u);
  EXPECT_EQ(s.Controllers[0].Password, std::optional<std::string>(""));
}

TEST(Scenario, ErrorsNameThePath) {
  struct Case {
    const char* json;
    const char* message;
  };
  const Case cases[] = {
      {R"({"controllers": [{"ip": "127.0.0.2"}]})", R"(controllers[0]: missing key "nad")"},
      {R"({"controllers": [{"nad": 1}]})", R"(controllers[0]: missing key "ip")"},
      {R"({"controlers": []})", R"(scenario: unknown key "controlers")"},
      {R"({"seed": 1})", R"(scenario: missing key "controllers")"},
      {R"({"controllers": [{"nad": 1, "ip": "127.0.0.2", "faults": {"dorp": 0.3}}]})",
       R"(controllers[0].faults: unknown key "dorp")"},
      {R"({"controllers": [{"nad": 1, "ip": "127.0.0.2"}, {"nad": 2, "ip": "127.0.0.3", "pasword": "x"}]})",
       R"(controllers[1]: unknown key "pasword")"},
      {R"({"controllers": [{"nad": 1, "ip": "127.0.0.2", "variables": [{"name": "a", "type": "word"},
          {"name": "x", "type": "float"}]}]})",
       R"(controllers[0].variables[1].type: unknown type "float")"},
      {R"({"controllers": [{"nad": 1, "ip": "127.0.0.2", "variables": [{"type": "word"}]}]})",
       R"(controllers[0].variables[0]: missing key "name")"},
      {R"({"controllers": [{"nad": 1, "ip": "127.0.0.2", "variables": [{"name": "a", "typ": "word"}]}]})",
       R"(controllers[0].variables[0]: unknown key "typ")"},
      {R"({"controllers": [{"nad": 1, "ip": "127.0.0.2", "variables": [{"name": "a b", "type": "word"}]}]})",
       R"(controllers[0].variables[0].name: must be one word)"},
      {R"({"controllers": [{"nad": 1, "ip": "127.0.0.2", "variables": [{"name": "a", "type": "word", "value": 70000}]}]})",
       R"(controllers[0].variables[0].value: out of range 0..65535)"},
      {R"({"controllers": [{"nad": 1, "ip": "127.0.0.2", "variables": [{"name": "a", "type": "int", "count": 2, "value": [1, 2, 3]}]}]})",
       R"(controllers[0].variables[0].value: more values than elements)"},
      {R"({"controllers": [{"nad": 1, "ip": "127.0.0.2", "variables": [{"name": "a", "type": "word", "address": "0xFFFF"}]}]})",
       R"(controllers[0].variables[0]: does not fit in the 64 KiB variable memory)"},
      {R"({"controllers": [{"nad": 1, "ip": "192.168.1.5"}]})", R"(controllers[0].ip: must be a loopback host address)"},
      {R"({"controllers": [{"nad": 1, "ip": "127.255.255.255"}]})", R"(controllers[0].ip: must be a loopback host address)"},
      {R"({"controllers": [{"nad": 1, "ip": "localhost"}]})", R"(controllers[0].ip: not a dotted-quad address)"},
      {R"({"controllers": [{"nad": 1, "ip": "127.0.0.2"}, {"nad": 2, "ip": "127.0.0.2"}]})",
       R"(controllers[1]: another controller already uses 127.0.0.2 port 8442)"},
      {R"({"controllers": [{"nad": -1, "ip": "127.0.0.2"}]})", R"(controllers[0].nad: out of range)"},
      {R"({"controllers": [{"nad": 1.5, "ip": "127.0.0.2"}]})", R"(controllers[0].nad: must be an integer)"},
      {R"({"controllers": [{"nad": 1, "ip": "127.0.0.2", "faults": {"drop": 1.5}}]})",
       R"(controllers[0].faults.drop: must be a probability)"},
      {R"({"controllers": [{"nad": 1, "ip": "127.0.0.2", "faults": {"silent": 1}}]})",
       R"(controllers[0].faults.silent: must be true or false)"},
      {R"({"controllers": [{"nad": 1, "ip": "127.0.0.2", "clock": "2026-02-30T10:00:00"}]})",
       R"(controllers[0].clock: must be "local" or a date and time)"},
      {R"({"controllers": [{"nad": 1, "ip": "127.0.0.2", "status": [1]}]})", R"(controllers[0].status: must be two bytes)"},
      {R"({"controllers": [{"nad": 1, "ip": "127.0.0.2", "alc_zip_base64": "abc"}]})",
       R"(controllers[0].alc_zip_base64: base64 text length)"},
      {R"({"controllers": [{"nad": 1, "ip": "127.0.0.2", "memory_patches": [{"address": "0xFFFFFF", "hex": "0102"}]}]})",
       R"(controllers[0].memory_patches[0]: runs past the 24-bit code memory)"},
      {R"({"controllers": [{"nad": 1, "ip": "127.0.0.2", "memory_patches": [{"address": 0, "hex": "0G"}]}]})",
       R"(controllers[0].memory_patches[0].hex: not a hex digit)"},
      {R"({"controllers": [{"nad": 1, "ip": "127.0.0.2", "extra_files": [{"name": "a", "sise": 3}]}]})",
       R"(controllers[0].extra_files[0]: unknown key "sise")"},
      {R"({"controllers": [{"nad": 1, "ip": "127.0.0.2", "stamp_changes": [{"after_requests": 3}]}]})",
       R"(controllers[0].stamp_changes[0]: missing key "stamp")"},
      {R"({"controllers": [{"nad": 1, "ip": "127.0.0.2", "header": {"magik": 1}}]})",
       R"(controllers[0].header: unknown key "magik")"},
  };
  for (const Case& c : cases) {
    try {
      ParseScenario(json::parse(c.json));
      ADD_FAILURE() << "accepted: " << c.json;
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos)
          << "message: " << e.what() << "\nexpected: " << c.message;
    }
  }
}

TEST(Scenario, AddressesArePackedAlignedAndClearOfGivenOnes) {
  const TScenario s = ParseScenario(json::parse(R"({"controllers": [{"nad": 1, "ip": "127.0.0.2", "variables": [
      {"name": "b", "type": "bit"},
      {"name": "w", "type": "word"},
      {"name": "l", "type": "long"},
      {"name": "fixed", "type": "word", "address": "0x0108", "count": 2},
      {"name": "arr", "type": "int", "count": 3},
      {"name": "c", "type": "const", "address": 1234},
      {"name": "r", "type": "real", "stride": 8, "count": 2},
      {"name": "low", "type": "word", "address": 16}
  ]}]})"));
  const auto& v = s.Controllers[0].Variables;
  EXPECT_EQ(v[0].Address, 0x0100u);
  EXPECT_EQ(v[1].Address, 0x0102u);  // aligned to 2
  EXPECT_EQ(v[2].Address, 0x0104u);  // aligned to 4
  EXPECT_EQ(v[3].Address, 0x0108u);  // given: 0x0108..0x010B
  EXPECT_EQ(v[4].Address, 0x010Cu);  // pushed past the given range
  EXPECT_EQ(v[4].Stride, 2);          // default stride = element size
  EXPECT_EQ(v[5].Address, 1234u);     // const keeps its column value, takes no memory
  EXPECT_EQ(v[6].Address, 0x0114u);   // after arr (0x010C + 6), aligned to 4
  EXPECT_EQ(v[6].Stride, 8);
  EXPECT_EQ(v[7].Address, 16u);
}

TEST(Scenario, ValuesTakeTheWireFormOfTheirType) {
  const TScenario s = ParseScenario(json::parse(R"({"controllers": [{"nad": 1, "ip": "127.0.0.2", "variables": [
      {"name": "i", "type": "int", "value": -1},
      {"name": "r", "type": "real", "value": 1.5},
      {"name": "l", "type": "long", "count": 3, "value": [-2, 7]},
      {"name": "b", "type": "bit", "count": 2, "value": true}
  ]}]})"));
  const auto& v = s.Controllers[0].Variables;
  EXPECT_EQ(v[0].RawValues, std::vector<uint32_t>({0xFFFF}));
  EXPECT_EQ(v[1].RawValues, std::vector<uint32_t>({0x3FC00000}));
  EXPECT_EQ(v[2].RawValues, std::vector<uint32_t>({0xFFFFFFFE, 7}));
  EXPECT_EQ(v[3].RawValues, std::vector<uint32_t>({1, 1}));
}

TEST(Scenario, FaultsAcceptProbabilitiesAndFlags) {
  const TFaults f = ParseFaults(json::parse(
      R"({"drop": 0.3, "duplicate": true, "split": false, "delay_ms": 20, "junk": 1, "junk_bytes": 7,
          "silent_after_requests": 5, "only_commands": [51, 52], "ignore_writes": true,
          "delay_chance": 0.25, "duplicate_delay_ms": 300})"));
  EXPECT_DOUBLE_EQ(f.Drop, 0.3);
  EXPECT_DOUBLE_EQ(f.DelayChance, 0.25);
  EXPECT_EQ(f.DuplicateDelayMs, 300u);
  EXPECT_EQ(f.Duplicate, 1.0);
  EXPECT_EQ(f.Split, 0.0);
  EXPECT_EQ(f.DelayMs, 20u);
  EXPECT_EQ(f.Junk, 1.0);
  EXPECT_EQ(f.JunkBytes, 7u);
  EXPECT_EQ(f.SilentAfterRequests, std::optional<uint64_t>(5));
  EXPECT_EQ(f.OnlyCommands, std::vector<uint8_t>({51, 52}));
  EXPECT_TRUE(f.IgnoreWrites);
}

TEST(Scenario, Base64RoundTripsAndRejectsJunk) {
  for (size_t n = 0; n < 8; ++n) {
    Bytes b;
    for (size_t i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(0xF0 + i * 37));
    EXPECT_EQ(Base64Decode(Base64Encode(b)), b);
  }
  EXPECT_EQ(Base64Encode({'M', 'a'}), "TWE=");
  EXPECT_THROW(Base64Decode("TW=E"), std::runtime_error);
  EXPECT_THROW(Base64Decode("TW*E"), std::runtime_error);
}

TEST(Scenario, CivilTimeRoundTrips) {
  const TCivilTime t = SecondsToCivil(CivilToSeconds({2026, 12, 6, 9, 5, 3, 0}));
  EXPECT_EQ(t.Year, 2026);
  EXPECT_EQ(t.Month, 12);
  EXPECT_EQ(t.Day, 6);
  EXPECT_EQ(t.Hour, 9);
  EXPECT_EQ(t.Minute, 5);
  EXPECT_EQ(t.Second, 3);
  EXPECT_EQ(t.Weekday, 0);  // a Sunday
  EXPECT_EQ(SecondsToCivil(CivilToSeconds({2024, 2, 29, 23, 59, 59, 0}) + 1).Month, 3);
  EXPECT_FALSE(IsValidCivil({2025, 2, 29, 0, 0, 0, 0}));
}

TEST(Scenario, ShippedScenariosLoad) {
  const TScenario demo = LoadScenarioFile(std::string(TAVEX_SIM_SCENARIOS) + "/demo.json");
  ASSERT_EQ(demo.Controllers.size(), 3u);
  std::set<uint8_t> types;
  for (const auto& c : demo.Controllers) {
    std::set<std::string> names;
    for (const auto& v : c.Variables) {
      names.insert(v.Name);
      types.insert(v.VarType);
    }
    for (const char* clock : kClockVarNames) EXPECT_TRUE(names.count(clock)) << clock;
  }
  for (uint8_t t : {vtBit, vtWord, vtInt, vtLong, vtReal, vtTimer, vtCounter, vtConst}) EXPECT_TRUE(types.count(t));
  const TScenario faults = LoadScenarioFile(std::string(TAVEX_SIM_SCENARIOS) + "/faults.json");
  EXPECT_GE(faults.Controllers.size(), 3u);
  TSimulator a(demo), b(faults);  // every controller can be built
}

// ---------------------------------------------------------------- code memory and archive

TEST(CodeMemory, SparseReadsZerosAndClipsAtTheTop) {
  TCodeMemory m;
  m.Write(0xFFFFFE, Bytes{1, 2, 3, 4}.data(), 4);
  EXPECT_EQ(m.Read(0xFFFFFC, 6), Bytes({0, 0, 1, 2, 0, 0}));
  EXPECT_EQ(m.Read(0x123456, 3), Bytes({0, 0, 0}));
  EXPECT_EQ(m.MappedBytes(), 256u);
}

TEST(Archive, RoundTripsThroughTheToolsReaders) {
  const TScenario s = ParseScenario(OneController());
  TSimController c(s.Controllers[0], s.Seed);
  const std::string& text = c.AlcText();
  EXPECT_NE(text.find("\r\n;CPU Tavex-2 SIM\r\n"), std::string::npos);
  EXPECT_NE(text.find("\r\n;Addr "), std::string::npos);

  TMemoryStream stream;
  stream.Write(c.AlcZip().data(), c.AlcZip().size());
  stream.SetPosition(0);
  TZipFile zip;
  zip.LoadFromStream(stream);
  ASSERT_EQ(zip.Count(), 1);
  EXPECT_EQ(zip.LocalFiles()[0].FileName, "alc.txt");
  EXPECT_EQ(zip.LocalFiles()[0].CompressionMethod, 8);  // deflate
  std::string unpacked;
  zip.ExtractFile(0, unpacked);
  EXPECT_EQ(unpacked, text);

  TTavexVarList list;
  list.LoadFromAlcText(unpacked, 1000);
  // Global elements only: enable, speed, trim, total, setpoint, relay x4, t1.
  ASSERT_EQ(list.Count(), 10);
  struct Want {
    const char* name;
    int index;
    int32_t address;
    uint8_t type;
  };
  const Want want[] = {{"enable", 0, 0x100, vtBit}, {"speed", 0, 0x102, vtWord},   {"trim", 0, 0x104, vtInt},
                       {"total", 0, 0x108, vtLong}, {"setpoint", 0, 0x10C, vtReal}, {"relay", 0, 0x110, vtBit},
                       {"relay", 3, 0x113, vtBit},  {"t1", 0, 0x114, vtTimer}};
  for (const Want& w : want) {
    const TTavexVar* found = nullptr;
    for (int i = 0; i < list.Count(); ++i)
      if (list.Items(i)->Name == w.name && list.Items(i)->Index == w.index) found = list.Items(i);
    ASSERT_NE(found, nullptr) << w.name;
    EXPECT_EQ(found->GetAddress(), w.address) << w.name;
    EXPECT_EQ(found->VarType, w.type) << w.name;
  }
  EXPECT_EQ(list.Items(1)->Comment, "Motor speed rpm");
  EXPECT_TRUE(list.Items(5)->Flag0 && list.Items(5)->Flag1);
  // Even a reader that parses every line accepts the text.
  TTavexVarList all;
  EXPECT_NO_THROW(all.LoadFromAlcText(unpacked, -1));
}

TEST(Archive, LayoutIsExpressibleIncludingHostileClaims) {
  json j = OneController();
  auto& c = j["controllers"][0];
  c["extra_files"] = json::parse(R"([
      {"name": "prog.bin", "hex": "0102030405", "before_alc": true},
      {"name": "ALC.ZIP", "size": 10, "content": "not it"},
      {"name": "long", "name_length": 40, "address": "0xFFFFF0", "size": 2147483648}])");
  c["header"] = {{"entry_count", 65535}};
  c["memory_patches"] = json::parse(R"([{"address": "0x30000", "hex": "DEADBEEF"}])");
  const TScenario s = ParseScenario(j);
  TSimController sim(s.Controllers[0], 1);
  const Bytes h = sim.ReadCode(kHeaderAddress, 70);
  EXPECT_EQ(U16(h, 0), 0);
  EXPECT_EQ(U16(h, 2), 31415);
  EXPECT_EQ(U32(h, 12), 1u);
  EXPECT_EQ(U32(h, 64), kDirectoryAddress);
  EXPECT_EQ(U16(h, 68), 65535);  // overridden after the layout
  const Bytes dir = sim.ReadCode(kDirectoryAddress, 4 * kDirEntrySize);
  auto name = [&](int i) { return std::string(dir.begin() + i * 46, dir.begin() + i * 46 + U16(dir, i * 46 + 32)); };
  EXPECT_EQ(name(0), "prog.bin");
  EXPECT_EQ(name(1), "alc.zip");
  EXPECT_EQ(name(2), "ALC.ZIP");
  EXPECT_EQ(U16(dir, 3 * 46 + 32), 40);
  EXPECT_EQ(U32(dir, 3 * 46 + 34), 0xFFFFF0u);
  EXPECT_EQ(U32(dir, 3 * 46 + 38), 0x80000000u);
  EXPECT_EQ(sim.ReadCode(U32(dir, 0 * 46 + 34), 5), Bytes({1, 2, 3, 4, 5}));
  EXPECT_EQ(sim.ReadCode(U32(dir, 1 * 46 + 34), U32(dir, 1 * 46 + 38)), sim.AlcZip());
  EXPECT_EQ(sim.ReadCode(0x30000, 4), Bytes({0xDE, 0xAD, 0xBE, 0xEF}));

  // The archive itself placed at the top of the space is cut off there.
  json top = OneController();
  top["controllers"][0]["alc_entry"] = {{"address", 0xFFFFF0}, {"size", 1000}};
  const TScenario ts = ParseScenario(top);
  TSimController t(ts.Controllers[0], 1);
  EXPECT_EQ(t.ReadCode(0xFFFFF0, 16), Bytes(t.AlcZip().begin(), t.AlcZip().begin() + 16));
  EXPECT_EQ(U32(t.ReadCode(kDirectoryAddress, 46), 38), 1000u);

  // No program: erased header, no directory.
  json none = OneController();
  none["controllers"][0]["has_program"] = false;
  const TScenario ns = ParseScenario(none);
  TSimController n(ns.Controllers[0], 1);
  EXPECT_EQ(n.ReadCode(kHeaderAddress, 4), Bytes({0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(Archive, ReplacementTextAndArchiveAreUsedAsGiven) {
  json j = OneController();
  j["controllers"][0]["alc_text"] = ";CPU Tavex-2 X\r\n0100 0 2000000000 0 1 global bit huge\r\n";
  const TScenario s1 = ParseScenario(j);
  TSimController a(s1.Controllers[0], 1);
  EXPECT_EQ(a.AlcText(), *s1.Controllers[0].AlcText);

  j["controllers"][0]["alc_zip_base64"] = Base64Encode({'P', 'K', 3, 4, 0xFF});
  const TScenario s2 = ParseScenario(j);
  TSimController b(s2.Controllers[0], 1);
  EXPECT_EQ(b.AlcZip(), Bytes({'P', 'K', 3, 4, 0xFF}));
  EXPECT_EQ(b.ReadCode(b.Layout().AlcAddress, 5), b.AlcZip());
}

TEST(Archive, AnArchiveTooLargeForCodeMemoryIsRefused) {
  TScenario s = ParseScenario(OneController());
  s.Controllers[0].AlcZip = Bytes(kCodeMemorySize - kDirectoryAddress, 0);
  try {
    TSimulator sim(s);
    ADD_FAILURE() << "built";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("controllers[0]: \"alc.zip\""), std::string::npos) << e.what();
  }
}

// ---------------------------------------------------------------- commands over UDP

TEST_F(SimTest, PingAndStatusAnswers) {
  json j = OneController();
  j["controllers"][0]["status"] = {1, 5};
  StartWith(j);
  auto d = Client.Transact("127.0.0.2", Port(), Request(1000, 16));
  ASSERT_TRUE(d);
  EXPECT_EQ(d->FromIp, "127.0.0.2");
  EXPECT_EQ(d->Data.size(), 16u);  // L = 2: header, direction, aux, checksum
  auto a = Parse(d->Data);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->Source, 1000u);
  EXPECT_EQ(a->Dest, 1u);
  EXPECT_EQ(a->Direction, 1);
  EXPECT_EQ(a->Aux, 0);
  EXPECT_TRUE(a->Payload.empty());

  a = Ask(Request(1000, 17));
  ASSERT_TRUE(a);
  EXPECT_EQ(a->Payload, Bytes({1, 5}));
  Sim->SetStatus(1000, 0, 2);
  a = Ask(Request(1000, 17));
  ASSERT_TRUE(a);
  EXPECT_EQ(a->Payload, Bytes({0, 2}));

  const json e = LastLog(3);
  EXPECT_EQ(e["command"], 17);
  EXPECT_EQ(e["nad"], 1000);
  EXPECT_EQ(e["ip"], "127.0.0.2");
  EXPECT_EQ(e["dest_nad"], 1000);
  EXPECT_EQ(e["outcome"], "answered");
  EXPECT_EQ(e["password_ok"], true);
  EXPECT_EQ(e["faults"], json::array());
  EXPECT_EQ(e["from"].get<std::string>().rfind("127.0.0.1:", 0), 0u);
  EXPECT_EQ(e["seq"], 3);
}

TEST_F(SimTest, ArchiveFetchedThroughReadBlockParses) {
  StartWith(OneController());
  const Bytes header = ReadMemory(kHeaderAddress, 1104);
  ASSERT_EQ(header.size(), 1104u);
  EXPECT_EQ(U16(header, 0), 0);
  EXPECT_EQ(U16(header, 2), 31415);
  EXPECT_EQ(U32(header, 12), 1u);
  const uint32_t dirAddr = U32(header, 64);
  const uint16_t entries = U16(header, 68);
  ASSERT_EQ(entries, 1);
  const Bytes dir = ReadMemory(dirAddr, entries * 46u);
  ASSERT_EQ(std::string(dir.begin(), dir.begin() + U16(dir, 32)), "alc.zip");
  const Bytes zipBytes = ReadMemory(U32(dir, 34), U32(dir, 38));
  EXPECT_EQ(zipBytes, Sim->AlcZip(1000));

  TMemoryStream stream;
  stream.Write(zipBytes.data(), zipBytes.size());
  stream.SetPosition(0);
  TZipFile zip;
  zip.LoadFromStream(stream);
  std::string text;
  ASSERT_EQ(zip.Count(), 1);
  zip.ExtractFile(0, text);
  TTavexVarList list;
  list.LoadFromAlcText(text, 1000);
  EXPECT_EQ(list.Count(), 10);

  const json e = LastLog(Sim->LogSize());
  EXPECT_EQ(e["command"], 33);
  EXPECT_TRUE(e.contains("page") && e.contains("count"));
}

TEST_F(SimTest, ReadBlockIsCappedAndUnmappedMemoryReadsZero) {
  StartWith(OneController());
  auto a = Ask(Request(1000, 33, ReadBlockData(0x0200, 2000)));
  ASSERT_TRUE(a);
  EXPECT_EQ(a->Payload.size(), 1022u);
  a = Ask(Request(1000, 33, ReadBlockData(0x0100, 16)));
  ASSERT_TRUE(a);
  EXPECT_EQ(a->Payload, Bytes(16, 0));
  a = Ask(Request(1000, 33, ReadBlockData(0xFFFF, 0)));
  ASSERT_TRUE(a);
  EXPECT_TRUE(a->Payload.empty());
  const json e = LastLog(3);
  EXPECT_EQ(e["page"], 0xFFFF);
  EXPECT_EQ(e["count"], 0);
}

TEST_F(SimTest, ReadVarsPacksBytesWordsLongsInAddressOrder) {
  StartWith(OneController());
  // enable (bit), relay[2] (bit); speed (word), trim (int); total (long), setpoint (real).
  auto a = Ask(Request(1000, 51, VarsData(2, 2, 2, {0x100, 0x112, 0x102, 0x104, 0x108, 0x10C})));
  ASSERT_TRUE(a);
  const Bytes want = {1, 1, 0xDC, 0x05, 0xF4, 0xFF, 0x60, 0x79, 0xFE, 0xFF, 0x00, 0x00, 0xC0, 0x3F};
  EXPECT_EQ(a->Payload, want);
  const json e = LastLog(1);
  EXPECT_EQ(e["n_bytes"], 2);
  EXPECT_EQ(e["n_words"], 2);
  EXPECT_EQ(e["n_longs"], 2);
  EXPECT_EQ(e["addresses"], json({0x100, 0x112, 0x102, 0x104, 0x108, 0x10C}));
  EXPECT_EQ(e["names"], json({"enable", "relay[2]", "speed", "trim", "total", "setpoint"}));
  EXPECT_FALSE(e.contains("values"));
}

TEST_F(SimTest, WriteVarsChangesMemoryAndIsLogged) {
  StartWith(OneController());
  Bytes values = {0, 0x34, 0x12, 0xFF, 0xFF, 0x00, 0x00, 0x20, 0x41};  // enable 0, speed 0x1234, trim -1, setpoint 10
  auto a = Ask(Request(1000, 52, VarsData(1, 2, 1, {0x100, 0x102, 0x104, 0x10C}, values)));
  ASSERT_TRUE(a);
  EXPECT_TRUE(a->Payload.empty());
  EXPECT_EQ(Sim->ReadVarRaw(1000, "enable"), 0u);
  EXPECT_EQ(Sim->ReadVarRaw(1000, "speed"), 0x1234u);
  EXPECT_EQ(Sim->ReadVarValue(1000, "trim"), -1.0);
  EXPECT_EQ(Sim->ReadVarValue(1000, "setpoint"), 10.0);
  const json e = LastLog(1);
  EXPECT_EQ(e["values"], json({0, 0x1234, 0xFFFF, 0x41200000}));
  EXPECT_EQ(e["names"], json({"enable", "speed", "trim", "setpoint"}));

  // An address no variable starts at is written all the same and named null.
  a = Ask(Request(1000, 52, VarsData(0, 1, 0, {0x0103}, {0xAB, 0xCD})));
  ASSERT_TRUE(a);
  EXPECT_EQ(Sim->ReadVarMemory(1000, 0x0102, 3), Bytes({0x34, 0xAB, 0xCD}));
  EXPECT_TRUE(LastLog(2)["names"][0].is_null());
}

TEST_F(SimTest, BadRequestsAreLoggedAndNotAnswered) {
  StartWith(OneController());
  struct Case {
    const char* name;
    Bytes frame;
    const char* outcome;
    const char* reason;
  };
  const Bytes ping = Request(1000, 16);
  Bytes badSum = ping;
  badSum.back() ^= 1;
  Bytes answer = Request(1000, 16);
  answer[12] = 1;  // Direction 1: an answer, not a request
  {
    const uint16_t sum = FrameChecksum(answer.data(), static_cast<int>(answer.size()) - 2, 0);
    answer[answer.size() - 2] = static_cast<uint8_t>(sum);
    answer[answer.size() - 1] = static_cast<uint8_t>(sum >> 8);
  }
  const Case cases[] = {
      {"short", {0xAA, 0x55, 0x05}, "invalid", "shorter than a frame header"},
      {"no start", Bytes(19, 0x11), "invalid", "no frame start"},
      {"bad checksum", badSum, "invalid", "bad checksum"},
      {"incomplete", Bytes(ping.begin(), ping.end() - 1), "invalid", "frame incomplete"},
      {"direction 1", answer, "ignored", "not a request"},
      {"other nad", Request(999, 16), "ignored", "addressed to another controller"},
      {"short read vars", Request(1000, 51, {1, 0, 0, 0, 0, 0}), "ignored", "malformed request data"},
      {"oversized read", Request(1000, 51, VarsData(0, 0, 300, std::vector<uint16_t>(300, 0x100))), "ignored",
       "malformed request data"},
      {"unknown command", Request(1000, 99), "ignored", "unknown command"},
  };
  size_t n = 0;
  for (const Case& c : cases) {
    Client.Send("127.0.0.2", Port(), c.frame);
    const json e = LastLog(++n);
    EXPECT_EQ(e["outcome"], c.outcome) << c.name;
    EXPECT_NE(e.value("reason", "").find(c.reason), std::string::npos) << c.name << ": " << e.dump();
  }
  EXPECT_TRUE(Client.Receive(100ms).empty());
  EXPECT_EQ(Sim->Requests(1000), 3u);  // only the three addressed to it count
}

// ---------------------------------------------------------------- addressing

TEST_F(SimTest, BroadcastReachesEveryControllerUnicastOnlyOne) {
  StartWith(ThreeControllers());
  const uint16_t port = Port(1000);
  EXPECT_EQ(Port(1001), port);
  for (const char* bcast : {"127.255.255.255", "255.255.255.255"}) {
    Client.Send(bcast, port, Request(0, 16));
    auto got = Client.Receive(1000ms, 3);
    std::set<std::string> from;
    for (const auto& d : got) from.insert(d.FromIp);
    EXPECT_EQ(from, (std::set<std::string>{"127.0.0.2", "127.0.0.3", "127.0.0.4"})) << bcast;
  }
  // A broadcast to one NAD: only that controller answers, the others log it as ignored.
  Sim->ClearLog();
  Client.Send("127.255.255.255", port, Request(1001, 16));
  auto got = Client.Receive(300ms);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].FromIp, "127.0.0.3");
  ASSERT_TRUE(Sim->WaitForLog(3, 1000ms));
  for (const json& e : Sim->Log()) {
    EXPECT_EQ(e["broadcast"], true);
    EXPECT_EQ(e["to"], "127.255.255.255");
    EXPECT_EQ(e["outcome"], e["nad"] == 1001 ? "answered" : "ignored");
  }
  // Unicast with DestNad 0 reaches the addressed controller only.
  Sim->ClearLog();
  Client.Send("127.0.0.4", port, Request(0, 16));
  got = Client.Receive(300ms);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].FromIp, "127.0.0.4");
  EXPECT_EQ(Sim->LogSize(), 1u);
  // Nobody lives at 127.0.0.9: nobody hears it.
  Sim->ClearLog();
  Client.Send("127.0.0.9", port, Request(0, 16));
  EXPECT_TRUE(Client.Receive(200ms).empty());
  EXPECT_EQ(Sim->LogSize(), 0u);
}

TEST_F(SimTest, PasswordGuardsEveryCommand) {
  json j = OneController();
  j["controllers"][0]["password"] = "secret";
  StartWith(j);
  EXPECT_FALSE(Client.Transact("127.0.0.2", Port(), Request(1000, 16, {}, 0), 150ms));
  json e = LastLog(1);
  EXPECT_EQ(e["password_ok"], false);
  EXPECT_EQ(e["outcome"], "ignored");
  EXPECT_TRUE(Ask(Request(1000, 16, {}, TextChecksum("secret", 0))));
  e = LastLog(2);
  EXPECT_EQ(e["password_ok"], true);
  EXPECT_EQ(e["outcome"], "answered");
}

// ---------------------------------------------------------------- faults

struct FaultCase {
  const char* name;
  const char* faults;  // JSON
  uint8_t command;
  const char* logged;  // fault name in the log
  const char* outcome;
  size_t datagrams;  // expected datagrams back
};

void PrintTo(const FaultCase& C, std::ostream* Os) { *Os << C.name; }

class FaultTest : public SimTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultTest, IsVisibleOnTheWireAndNamedInTheLog) {
  const FaultCase& fc = GetParam();
  json j = OneController();
  j["controllers"][0]["faults"] = json::parse(fc.faults);
  StartWith(j);
  const Bytes frame = fc.command == 52 ? Request(1000, 52, VarsData(0, 1, 0, {0x102}, {0x39, 0x30}))
                                       : Request(1000, fc.command);
  const auto sent = std::chrono::steady_clock::now();
  Client.Send("127.0.0.2", Port(), frame);
  auto got = fc.datagrams ? Client.Receive(1000ms, fc.datagrams) : std::vector<TDatagram>();
  const auto more = Client.Receive(fc.datagrams ? 50ms : 150ms);  // nothing beyond what the fault produces
  got.insert(got.end(), more.begin(), more.end());
  ASSERT_EQ(got.size(), fc.datagrams) << fc.name;
  const json e = LastLog(1);
  EXPECT_EQ(e["outcome"], fc.outcome);
  EXPECT_NE(std::find(e["faults"].begin(), e["faults"].end(), fc.logged), e["faults"].end()) << e.dump();

  const std::string f = fc.name;
  if (f == "duplicate") {
    EXPECT_EQ(got[0].Data, got[1].Data);
    EXPECT_TRUE(Parse(got[0].Data));
  } else if (f == "duplicate_late") {
    EXPECT_EQ(got[0].Data, got[1].Data);
    EXPECT_GE(got[1].At - got[0].At, 40ms);
    EXPECT_EQ(e["duplicate_delay_ms"], 60);
  } else if (f == "corrupt") {
    EXPECT_FALSE(Parse(got[0].Data));
    const Bytes good = BuildAnswerFrame(1000, 1, 1, nullptr, 0);
    ASSERT_EQ(got[0].Data.size(), good.size());
    for (size_t i = 0; i < good.size(); ++i) EXPECT_EQ(got[0].Data[i] != good[i], i == 5) << i;
    EXPECT_EQ(e["corrupt_at"], 5);
  } else if (f == "split") {
    Bytes whole = got[0].Data;
    whole.insert(whole.end(), got[1].Data.begin(), got[1].Data.end());
    EXPECT_EQ(got[0].Data.size(), 3u);
    EXPECT_FALSE(Parse(got[0].Data));
    EXPECT_TRUE(Parse(whole));
    EXPECT_EQ(e["split_at"], 3);
  } else if (f == "junk") {
    const Bytes& d = got[0].Data;
    ASSERT_GT(d.size(), 16u + 6u);
    EXPECT_EQ(BytesToHex(d.data(), d.size()).find("AA55"), 12u);  // first frame start: right after the junk
    EXPECT_TRUE(Parse(Bytes(d.begin() + 6, d.end())));
  } else if (f == "wrong_direction") {
    auto a = Parse(got[0].Data);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->Direction, 0);
  } else if (f == "delay") {
    EXPECT_GE(got[0].At - sent, 60ms);
    EXPECT_EQ(e["delay_ms"], 80);
  } else if (f == "ignore_writes") {
    EXPECT_TRUE(Parse(got[0].Data));
    EXPECT_EQ(Sim->ReadVarRaw(1000, "speed"), 1500u);
  } else if (f == "drop_answer") {
    EXPECT_EQ(Sim->ReadVarRaw(1000, "speed"), 12345u);  // carried out, answer lost
  } else if (f == "drop") {
    EXPECT_EQ(Sim->ReadVarRaw(1000, "speed"), 1500u);  // lost before it was carried out
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sim, FaultTest,
    ::testing::Values(FaultCase{"drop", R"({"drop": 1})", 52, "drop", "dropped", 0},
                      FaultCase{"drop_answer", R"({"drop_answer": true})", 52, "drop_answer", "dropped", 0},
                      FaultCase{"duplicate", R"({"duplicate": 1})", 16, "duplicate", "answered", 2},
                      FaultCase{"duplicate_late", R"({"duplicate": 1, "duplicate_delay_ms": 60})", 16, "duplicate",
                                "answered", 2},
                      FaultCase{"corrupt", R"({"corrupt": 1, "corrupt_at": 5})", 16, "corrupt", "answered", 1},
                      FaultCase{"split", R"({"split": true, "split_at": 3})", 16, "split", "answered", 2},
                      FaultCase{"junk", R"({"junk": 1, "junk_bytes": 6})", 17, "junk", "answered", 1},
                      FaultCase{"wrong_direction", R"({"wrong_direction": true})", 16, "wrong_direction",
                                "answered", 1},
                      FaultCase{"delay", R"({"delay_ms": 80})", 16, "delay", "answered", 1},
                      FaultCase{"ignore_writes", R"({"ignore_writes": true})", 52, "ignore_writes", "answered", 1},
                      FaultCase{"silent", R"({"silent": true})", 16, "silent", "silent", 0}),
    [](const ::testing::TestParamInfo<FaultCase>& I) { return std::string(I.param.name); });

TEST_F(SimTest, CrosstalkSendsACopyToAnotherControllersLatestAsker) {
  json j = ThreeControllers();
  j["controllers"][1]["faults"] = {{"crosstalk", 1}};
  StartWith(j);
  TClient other;  // asks 1000 first: the latest asker of another controller
  ASSERT_TRUE(other.Transact("127.0.0.2", Port(1000), Request(1000, 16)));
  ASSERT_TRUE(Ask(Request(1001, 16), "127.0.0.3", 1001));
  // The asker of 1000 also gets 1001's answer, from 1001's address.
  const auto copies = other.Receive(500ms, 1);
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(copies[0].FromIp, "127.0.0.3");
  const auto a = Parse(copies[0].Data);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->Source, 1001u);
  const json e = LastLog(2);
  EXPECT_EQ(e["faults"], json({"crosstalk"}));
  EXPECT_EQ(e["crosstalk_nad"], 1000);
  EXPECT_EQ(e["crosstalk_to"].get<std::string>().rfind("127.0.0.1:", 0), 0u);
}

TEST_F(SimTest, SilentAfterRequestsGoesQuietMidway) {
  json j = OneController();
  j["controllers"][0]["faults"] = {{"silent_after_requests", 2}};
  StartWith(j);
  EXPECT_TRUE(Ask(Request(1000, 16)));
  EXPECT_TRUE(Ask(Request(1000, 33, ReadBlockData(0x200, 16))));
  EXPECT_FALSE(Client.Transact("127.0.0.2", Port(), Request(1000, 33, ReadBlockData(0x201, 16)), 150ms));
  const json e = LastLog(3);
  EXPECT_EQ(e["outcome"], "silent");
  EXPECT_EQ(e["faults"], json({"silent_after_requests"}));
  EXPECT_EQ(e["request_no"], 3);
}

TEST_F(SimTest, OnlyCommandsLimitsTheAnswerFaults) {
  json j = OneController();
  j["controllers"][0]["faults"] = {{"drop", 1}, {"only_commands", {51}}};
  StartWith(j);
  EXPECT_TRUE(Ask(Request(1000, 16)));
  EXPECT_FALSE(Client.Transact("127.0.0.2", Port(), Request(1000, 51, VarsData(1, 0, 0, {0x100})), 150ms));
  const auto log = Sim->Log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0]["faults"], json::array());
  EXPECT_EQ(log[1]["faults"], json({"drop"}));
}

TEST_F(SimTest, SetFaultsAtRunTime) {
  StartWith(OneController());
  EXPECT_TRUE(Ask(Request(1000, 16)));
  TFaults f;
  f.Silent = true;
  EXPECT_TRUE(Sim->SetFaults(1000, f));
  EXPECT_FALSE(Sim->SetFaults(4242, f));
  EXPECT_FALSE(Client.Transact("127.0.0.2", Port(), Request(1000, 16), 150ms));
  EXPECT_EQ(LastLog(2)["outcome"], "silent");
}

// The draws repeat for the same seed and NAD, and the share matches the probability.
TEST(FaultDraws, AreDeterministicAndNearTheirProbability) {
  auto outcomes = [](uint64_t Seed) {
    json j = OneController();
    j["seed"] = Seed;
    j["controllers"][0]["faults"] = {{"drop", 0.3}, {"duplicate", 0.05}};
    const TScenario s = ParseScenario(j);
    TSimController c(s.Controllers[0], s.Seed);
    const Bytes ping = Request(1000, 16);
    std::string seq;
    for (int i = 0; i < 2000; ++i) {
      TLogEntry e;
      c.Handle(ping.data(), ping.size(), e);
      seq += e.Outcome == "dropped" ? 'd' : e.Faults.empty() ? 'a' : 'D';
    }
    return seq;
  };
  const std::string a = outcomes(7), b = outcomes(7), c = outcomes(8);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  const auto dropped = std::count(a.begin(), a.end(), 'd');
  const auto duplicated = std::count(a.begin(), a.end(), 'D');
  EXPECT_NEAR(dropped / 2000.0, 0.3, 0.05);
  EXPECT_NEAR(duplicated / 1400.0, 0.05, 0.025);
}

// ---------------------------------------------------------------- clock and stamp

json ClockController(const char* Clock) {
  json j = OneController();
  auto& vars = j["controllers"][0]["variables"];
  for (const char* n : {"rtc_year", "rtc_month", "rtc_date", "rtc_hour", "rtc_min", "rtc_sec"})
    vars.push_back({{"name", n}, {"type", "word"}});
  vars.push_back({{"name", "rtc_weekday"}, {"type", "bit"}});
  vars.push_back({{"name", "rtc_write_req"}, {"type", "bit"}});
  j["controllers"][0]["clock"] = Clock;
  return j;
}

TEST_F(SimTest, ClockIsReadAndSetThroughTheClockVariables) {
  StartWith(ClockController("2026-12-06T09:05:03"));
  const auto lay = ParseScenario(ClockController("local")).Controllers[0].Variables;
  std::map<std::string, uint16_t> addr;
  for (const auto& v : lay) addr[v.Name] = static_cast<uint16_t>(v.Address);

  auto a = Ask(Request(1000, 51,
                       VarsData(1, 6, 0, {addr["rtc_weekday"], addr["rtc_year"], addr["rtc_month"], addr["rtc_date"],
                                          addr["rtc_hour"], addr["rtc_min"], addr["rtc_sec"]})));
  ASSERT_TRUE(a);
  ASSERT_EQ(a->Payload.size(), 13u);
  EXPECT_EQ(a->Payload[0], 0);  // Sunday
  EXPECT_EQ(U16(a->Payload, 1), 2026);
  EXPECT_EQ(U16(a->Payload, 3), 12);
  EXPECT_EQ(U16(a->Payload, 5), 6);
  EXPECT_EQ(U16(a->Payload, 7), 9);
  EXPECT_EQ(U16(a->Payload, 9), 5);
  EXPECT_LE(U16(a->Payload, 11), 5);  // 3 s plus what the test took

  // The write the tool sends when synchronising: all eight in one request.
  Bytes values = {2, 1};  // weekday (Tuesday), write request
  for (uint16_t v : {2030, 1, 15, 23, 59, 58}) Put16(values, v);
  a = Ask(Request(1000, 52,
                  VarsData(2, 6, 0, {addr["rtc_weekday"], addr["rtc_write_req"], addr["rtc_year"], addr["rtc_month"],
                                     addr["rtc_date"], addr["rtc_hour"], addr["rtc_min"], addr["rtc_sec"]},
                           values)));
  ASSERT_TRUE(a);
  const TCivilTime t = *Sim->Clock(1000);
  EXPECT_EQ(t.Year, 2030);
  EXPECT_EQ(t.Month, 1);
  EXPECT_EQ(t.Day, 15);
  EXPECT_EQ(t.Hour, 23);
  EXPECT_TRUE(t.Minute == 59 || t.Minute == 0);
  EXPECT_EQ(Sim->ReadVarRaw(1000, "rtc_write_req"), 0u);  // acknowledged
  json e = LastLog(2);
  ASSERT_TRUE(e.contains("clock_set")) << e.dump();
  EXPECT_EQ(e["clock_set"], json({{"year", 2030}, {"month", 1}, {"date", 15}, {"hour", 23}, {"min", 59},
                                  {"sec", 58}, {"weekday", 2}, {"applied", true}}));

  // An impossible date is reported and leaves the clock running as it was.
  values = {1};
  Put16(values, 13);
  a = Ask(Request(1000, 52, VarsData(1, 1, 0, {addr["rtc_write_req"], addr["rtc_month"]}, values)));
  ASSERT_TRUE(a);
  e = LastLog(3);
  EXPECT_EQ(e["clock_set"]["applied"], false);
  EXPECT_EQ(e["clock_set"]["month"], 13);
  EXPECT_EQ(Sim->Clock(1000)->Year, 2030);
  EXPECT_EQ(Sim->ReadVarRaw(1000, "rtc_month"), 1u);  // reads show the running clock again

  // Writing the clock variables without the request changes nothing.
  values.clear();
  Put16(values, 2001);
  a = Ask(Request(1000, 52, VarsData(0, 1, 0, {addr["rtc_year"]}, values)));
  ASSERT_TRUE(a);
  EXPECT_FALSE(LastLog(4).contains("clock_set"));
  EXPECT_EQ(Sim->Clock(1000)->Year, 2030);
}

TEST_F(SimTest, StampChangesAfterNRequests) {
  json j = OneController();
  j["controllers"][0]["stamp"] = 5;
  j["controllers"][0]["stamp_changes"] = json::parse(R"([{"after_requests": 2, "stamp": 6}])");
  StartWith(j);
  auto stamp = [&] {
    auto a = Ask(Request(1000, 33, ReadBlockData(0x200, 16)));
    return a && a->Payload.size() == 16 ? U32(a->Payload, 12) : 0u;
  };
  EXPECT_EQ(stamp(), 5u);
  EXPECT_EQ(stamp(), 5u);
  EXPECT_EQ(stamp(), 6u);
  auto log = Sim->Log();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_FALSE(log[1].contains("stamp_changed"));
  EXPECT_EQ(log[2]["stamp_changed"], 6);
  EXPECT_TRUE(Sim->SetStamp(1000, 9));
  EXPECT_EQ(stamp(), 9u);
  EXPECT_EQ(Sim->Stamp(1000), 9u);
}

TEST_F(SimTest, LogKeepsTheNewestEntriesUpToItsLimit) {
  StartWith(OneController());
  Sim->SetLogLimit(2);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(Ask(Request(1000, 16)));
  const auto log = Sim->Log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0]["seq"], 2);
  EXPECT_EQ(log[1]["seq"], 3);
  EXPECT_EQ(Sim->LogEntries().back().RequestNo, 3u);
}

// ---------------------------------------------------------------- start and stop

TEST(Simulator, StartFailsCleanlyWhenTheAddressIsTaken) {
  json j = OneController();
  j["controllers"][0]["port"] = 18442;
  TSimulator first(ParseScenario(j));
  std::string error;
  ASSERT_TRUE(first.Start(&error)) << error;
  TSimulator second(ParseScenario(j));
  EXPECT_FALSE(second.Start(&error));
  EXPECT_NE(error.find("127.0.0.2:18442"), std::string::npos) << error;
  second.Stop();
  second.Stop();
  first.Stop();
  // Everything was released: the port can be bound again.
  TSimulator third(ParseScenario(j));
  EXPECT_TRUE(third.Start(&error)) << error;
  EXPECT_FALSE(third.Start(&error));  // once only
}

// ---------------------------------------------------------------- the program

struct TProcess {
  pid_t Pid = -1;
  int Out = -1, Err = -1;
};

TProcess Spawn(const std::vector<std::string>& Args) {
  int out[2], err[2];
  EXPECT_EQ(pipe(out), 0);
  EXPECT_EQ(pipe(err), 0);
  TProcess p;
  p.Pid = fork();
  if (p.Pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    close(out[0]);
    close(err[0]);
    std::vector<char*> argv;
    for (const auto& a : Args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  p.Out = out[0];
  p.Err = err[0];
  return p;
}

// Reads a line (or what came) within the time limit.
std::string ReadLine(int Fd, std::chrono::milliseconds Limit) {
  std::string s;
  const auto end = std::chrono::steady_clock::now() + Limit;
  while (s.find('\n') == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{Fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char c[256];
    const ssize_t n = read(Fd, c, sizeof c);
    if (n <= 0) break;
    s.append(c, static_cast<size_t>(n));
  }
  return s;
}

int Wait(pid_t Pid) {
  int status = 0;
  for (int i = 0; i < 500; ++i) {
    if (waitpid(Pid, &status, WNOHANG) == Pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::this_thread::sleep_for(10ms);
  }
  kill(Pid, SIGKILL);
  waitpid(Pid, &status, 0);
  return -1;
}

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir = std::filesystem::temp_directory_path() / ("tavex-sim-test-" + std::to_string(getpid()));
    std::filesystem::create_directories(Dir);
  }
  void TearDown() override { std::filesystem::remove_all(Dir); }
  std::string WriteFile(const std::string& Name, const std::string& Text) {
    const auto path = (Dir / Name).string();
    std::ofstream(path) << Text;
    return path;
  }
  std::filesystem::path Dir;
};

TEST_F(ProgramTest, RunsAnswersLogsAndStopsOnSigterm) {
  const std::string scenario =
      WriteFile("s.json", R"({"controllers": [{"nad": 1000, "ip": "127.0.0.2", "port": 18443}]})");
  const std::string logPath = (Dir / "log.jsonl").string();
  TProcess p = Spawn({TAVEX_SIM_EXE, "--log", logPath, "--seconds", "30", scenario});
  ASSERT_EQ(ReadLine(p.Out, 5000ms), "ready\n");
  TClient client;
  auto d = client.Transact("127.0.0.2", 18443, Request(1000, 16), 2000ms);
  ASSERT_TRUE(d);
  EXPECT_TRUE(Parse(d->Data));
  kill(p.Pid, SIGTERM);
  EXPECT_EQ(Wait(p.Pid), 0);
  std::ifstream in(logPath);
  std::string line;
  ASSERT_TRUE(std::getline(in, line));
  const json e = json::parse(line);
  EXPECT_EQ(e["command"], 16);
  EXPECT_EQ(e["outcome"], "answered");
  EXPECT_FALSE(std::getline(in, line));
  close(p.Out);
  close(p.Err);
}

TEST_F(ProgramTest, EndsAfterTheGivenSeconds) {
  const std::string scenario = WriteFile("s.json", R"({"controllers": [{"nad": 7, "ip": "127.0.0.5", "port": 0}]})");
  TProcess p = Spawn({TAVEX_SIM_EXE, "--seconds", "0", scenario});
  EXPECT_EQ(ReadLine(p.Out, 5000ms), "ready\n");
  EXPECT_EQ(Wait(p.Pid), 0);
  close(p.Out);
  close(p.Err);
}

TEST_F(ProgramTest, ArchiveFileIsFoundBesideTheScenario) {
  WriteFile("hostile.zip", std::string("PK\x03\x04\xff\xff\xff\xff", 8));
  const std::string scenario = WriteFile(
      "s.json", R"({"controllers": [{"nad": 1, "ip": "127.0.0.2", "alc_zip_file": "hostile.zip"}]})");
  const TScenario s = LoadScenarioFile(scenario);
  ASSERT_TRUE(s.Controllers[0].AlcZip);
  EXPECT_EQ(*s.Controllers[0].AlcZip, Bytes({'P', 'K', 3, 4, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST_F(ProgramTest, RejectsBadScenariosAndUsage) {
  const std::string misspelt = WriteFile(
      "bad.json", R"({"controllers": [{"nad": 1000, "ip": "127.0.0.2", "faults": {"dorp": 0.3}}]})");
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {{TAVEX_SIM_EXE, misspelt}, R"(controllers[0].faults: unknown key "dorp")"},
      {{TAVEX_SIM_EXE, WriteFile("notjson.json", "{")}, "is not valid JSON"},
      {{TAVEX_SIM_EXE, (Dir / "missing.json").string()}, "cannot open scenario file"},
      {{TAVEX_SIM_EXE}, "no scenario file given"},
      {{TAVEX_SIM_EXE, "--seconds", "soon", misspelt}, "--seconds needs a whole number"},
      {{TAVEX_SIM_EXE, "--verbose", misspelt}, "unknown option"},
  };
  for (const Case& c : cases) {
    TProcess p = Spawn(c.args);
    const std::string err = ReadLine(p.Err, 5000ms);
    EXPECT_EQ(Wait(p.Pid), 2) << err;
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
    EXPECT_EQ(ReadLine(p.Out, 100ms), "");  // never "ready"
    close(p.Out);
    close(p.Err);
  }
}

}  // namespace
}  // namespace tavex::sim
