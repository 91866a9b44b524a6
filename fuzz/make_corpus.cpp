// Writes the seed corpora of the fuzz targets: the golden frames, and what a
// simulated controller really sends and stores (its answers to each service,
// with and without faults, its allocation text and its "alc.zip"). Run once
// by hand when a format changes:
//   fuzz_make_corpus sim/scenarios/demo.json fuzz/corpus
// Hand-written seeds (values, addresses, configuration files) are kept in the
// repository as they are; this program does not touch them.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "abus/uABus.h"
#include "comm/hCommunication.h"
#include "comm/uCommunication.h"
#include "fuzz/FuzzSupport.h"
#include "sim/uSimController.h"
#include "sim/uSimMemory.h"
#include "sim/uSimScenario.h"
#include "vars/uTavexVars.h"

using namespace tavex;
namespace fs = std::filesystem;

namespace {

fs::path gOut;

void Write(const std::string& target, const std::string& name, const std::vector<uint8_t>& bytes) {
  const fs::path dir = gOut / target;
  fs::create_directories(dir);
  std::ofstream(dir / name, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void Write(const std::string& target, const std::string& name, const std::string& text) {
  Write(target, name, std::vector<uint8_t>(text.begin(), text.end()));
}

std::vector<uint8_t> Hex(const std::string& hex) {
  std::vector<uint8_t> b(hex.size() / 2);
  int n = 0;
  HexToBytes(hex, b, n, false);
  b.resize(static_cast<size_t>(n));
  return b;
}

// The receive fuzzer's records: a 16-bit length, then the bytes; length 0
// ends a group.
void Record(std::vector<uint8_t>& out, const std::vector<uint8_t>& d) {
  const size_t n = std::min<size_t>(d.size(), 0x0FFF);
  out.push_back(static_cast<uint8_t>(n));
  out.push_back(static_cast<uint8_t>(n >> 8));
  out.insert(out.end(), d.begin(), d.begin() + static_cast<std::ptrdiff_t>(n));
}
void EndGroup(std::vector<uint8_t>& out) {
  out.push_back(0);
  out.push_back(0);
}

// Runs one receive mode against a simulated controller and records every
// answer it sent, group by group, as the receive fuzzer's input.
std::vector<uint8_t> Conversation(const sim::TControllerConfig& config, uint8_t mode,
                                  const std::function<void(TCommunicator&)>& work) {
  sim::TSimController plc(config, 1);
  std::vector<uint8_t> input{mode, 2};  // 2: three attempts
  EndGroup(input);                      // nothing before the operation
  TCommunicator comm;
  comm.Nad = 1000;
  comm.RemoteIP = "127.0.0.2";
  comm.PasswordHash = 0x1234;
  uint32_t now = 0;
  comm.TickSource = [&now] { return now += 1000000; };
  comm.SendHook = [&](const uint8_t* d, size_t n, const std::string&, uint16_t) {
    sim::TLogEntry entry;
    const auto answer = plc.Handle(d, n, entry);
    for (const auto& g : answer.Datagrams) {
      Record(input, g);
      comm.HandleDatagram(g.data(), g.size(), "127.0.0.2", 8442);
    }
    EndGroup(input);
    return true;
  };
  work(comm);
  return input;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: fuzz_make_corpus SCENARIO.json OUTDIR\n";
    return 2;
  }
  fuzz::NoNetwork();
  const sim::TScenario scenario = sim::LoadScenarioFile(argv[1]);
  gOut = argv[2];
  const sim::TControllerConfig& base = scenario.Controllers.at(0);
  sim::TSimController plc(base, scenario.Seed);

  // --- Allocation text and archive, as the controller holds them.
  const std::string alc = plc.AlcText();
  Write("fuzz_alc", "sim-demo.alc", alc);
  Write("fuzz_alc", "sim-demo-crlf.alc", [&] {
    std::string s;
    for (char c : alc) s += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return s;
  }());
  Write("fuzz_zip", "sim-demo.zip", plc.AlcZip());
  const std::string small = "0120 0 1 0 2 global int setpoint\n";
  Write("fuzz_zip", "sim-one-line.zip", sim::BuildAlcZip(";CPU Tavex-2 \n" + small));
  Write("fuzz_zip", "sim-empty.zip", sim::BuildAlcZip(""));

  // --- Frames: the golden vectors, as bytes and as the receive text.
  const struct {
    const char* name;
    const char* hex;
  } frames[] = {
      {"ping-request", "AA 55 05 00 01 00 00 00 E8 03 00 00 00 00 10 00 00 BE EC"},
      {"ping-broadcast", "AA 55 05 00 01 00 00 00 00 00 00 00 00 00 10 00 00 CB 0C"},
      {"readblock-request", "AA 55 09 00 01 00 00 00 E8 03 00 00 00 00 21 00 02 10 00 00 00 1F FA"},
      {"answer-0102", "AA550400E803000001000000010001027131"},
  };
  for (const auto& f : frames) {
    std::string hex;
    for (const char* p = f.hex; *p; ++p)
      if (*p != ' ') hex += *p;
    Write("fuzz_frame", std::string(f.name) + ".hex", hex);
    Write("fuzz_frame", std::string(f.name) + ".bin", Hex(hex));
  }

  // --- Receive path: each service against the controller, with faults.
  struct TFaultCase {
    const char* name;
    std::function<void(sim::TFaults&)> set;
  };
  const TFaultCase faults[] = {
      {"clean", [](sim::TFaults&) {}},
      {"split", [](sim::TFaults& f) { f.Split = 1; }},
      {"junk", [](sim::TFaults& f) { f.Junk = 1; f.JunkBytes = 5; }},
      {"duplicate", [](sim::TFaults& f) { f.Duplicate = 1; }},
      {"corrupt", [](sim::TFaults& f) { f.Corrupt = 1; }},
      {"direction0", [](sim::TFaults& f) { f.WrongDirection = 1; }},
  };
  const struct {
    uint8_t mode;
    const char* name;
    std::function<void(TCommunicator&)> work;
  } modes[] = {
      {0, "ping", [](TCommunicator& c) { c.SendCommand(cmdPing); }},
      {2, "autodetect",
       [](TCommunicator& c) {
         std::vector<std::string> n, i;
         c.Autodetect(&n, &i, 1000);
       }},
      {3, "status",
       [](TCommunicator& c) {
         uint8_t a = 0, b = 0;
         c.ReadStatus(a, b);
         c.IsPlcRunning();
       }},
      {4, "readblock",
       [](TCommunicator& c) {
         std::vector<uint8_t> buf(kFrameBufSize);
         c.ReadBlock(0x0200, 1, buf.data());
         TMemoryStream s;
         c.ReadMemory(0x1F0, 300, &s);
       }},
      {5, "header",
       [](TCommunicator& c) {
         c.HasProgram();
         c.IsProgramUnchanged();
         std::vector<uint8_t> h;
         c.ReadCodeHeader(h);
       }},
      {6, "readvars",
       [](TCommunicator& c) {
         TTavexVarList list;
         list.LoadFromAlcText(fuzz::kReceiveVars, -1);
         c.ReadVarList(&list);
       }},
      {7, "alc-archive",
       [](TCommunicator& c) {
         std::unique_ptr<TMemoryStream> s;
         c.ReadAlcArchive(s);
       }},
  };
  for (const auto& m : modes) {
    for (const auto& f : faults) {
      // Long conversations only clean and split: the others add little.
      if (m.mode == 7 && std::string(f.name) != "clean" && std::string(f.name) != "split") continue;
      sim::TControllerConfig c = base;
      c.Faults = sim::TFaults{};
      f.set(c.Faults);
      Write("fuzz_receive", std::string(m.name) + "-" + f.name, Conversation(c, m.mode, m.work));
    }
  }
  return 0;
}
