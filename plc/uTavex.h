// TTavex: the record of one controller found on the network: its NAD, its
// own communicator, the variables of its allocation file, five status flags,
// and the staged sequence that brings it from not yet contacted to ready for
// a variable exchange, remembering how far it got. TTavexList: the ordered
// list of records (a position is a row of the desktop tool's grids).
//
// Threads: everything runs on the owner's thread; one operation at a time
// per record.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "comm/uCommunication.h"
#include "vars/uGadgetVars.h"
#include "vars/uTavexVars.h"

namespace tavex {

// Stages of ProcessVariables (the stored byte; 6 is not used).
enum : uint8_t {
  stIdle = 0,
  stOpen = 1,
  stConnect = 2,
  stCheckCode = 3,
  stReadAlc = 4,
  stCheckRun = 5,
  stExchange = 7,
  stCheckDate = 8,
  stFailed = 9,
};

// Messages of the failed stages (LastError).
inline constexpr char kErrOpen[] = "Cannot open socket!";
inline constexpr char kErrPing[] = "PLC not responding!";
inline constexpr char kErrProgram[] = "PLC has no program!";
inline constexpr char kErrAlc[] = "ALC data not found!";
inline constexpr char kErrVars[] = "Error reading vars";

class TTavex {
 public:
  // NAD; -1 while unknown. Held wider than 32 bits so that every NAD a
  // controller can have (0 .. 4294967295) is its own; the frame carries the
  // low 32 bits.
  int64_t Nad = -1;
  TTavexVarList AlcVars;       // every element of the allocation file
  TTavexVarList TransferVars;  // copies for one write or read
  TGadgetVarList WriteRequests{false};  // views: the caller owns the requests
  TGadgetVarList ReadRequests{false};
  uint8_t Stage = stIdle;
  bool AlcOk = false;
  bool PlcRunning = false;
  bool HasProgram = false;
  bool Responding = false;
  bool SocketOpen = false;
  std::unique_ptr<TCommunicator> Communicator;
  bool Shown = false;     // owned by the user interface
  std::string Password;
  std::string RtcText;    // "%.4d-%.2d-%.2d  %.2d:%.2d:%.2d" or empty
  std::string LastError;  // message of the last stage that failed
  // Receives the stage trace texts ("after open" ...); empty: nothing.
  std::function<void(const char*)> TraceHook;

  TTavex();
  ~TTavex();
  TTavex(const TTavex&) = delete;
  TTavex& operator=(const TTavex&) = delete;

  // A different NAD makes the communicator forget the controller's address.
  void SetNad(int64_t Value);
  std::string GetIpAddress() const;
  void SetIpAddress(const std::string& Text);
  bool SelectAdapter(const std::string& AdapterID);
  void SetDirectConnection(bool Value);
  void SetPassword(const std::string& Text);

  // The five checks; each stores and returns its flag.
  bool OpenSocket();
  bool Ping();
  bool CheckProgram();
  // Throws Exception("Error parsing ALC data on line N"); AlcOk is then
  // false (the variables were emptied for the load).
  bool ReadAlc();
  bool CheckRun();
  void CloseSocket();

  // Fetches "alc.zip" (FetchAlcText with the tries of kStagedPolicy, no
  // cache), unpacks its first member and parses it into AlcVars. False
  // when there is no allocation text; throws on a bad line.
  bool LoadAlc();

  // The staged sequence (the stage blocks of uStages under kStagedPolicy),
  // then the exchange: writes the pending values of the requests for this
  // NAD and reads all of them back. Throws only what ReadAlc throws.
  void ProcessVariables(TGadgetVarList& Requests);

  void Fail(const std::string& Message);

  // The exchange's building blocks.
  void LinkVariables(TGadgetVarList& View, bool ForWrite);
  void CopyReadValues(TGadgetVarList& View);

 private:
  void Trace(const char* Text) {
    if (TraceHook) TraceHook(Text);
  }
  void Exchange();
};

class TTavexList {
 public:
  TTavexList() = default;
  ~TTavexList() { Clear(); }
  TTavexList(const TTavexList&) = delete;
  TTavexList& operator=(const TTavexList&) = delete;

  int Add(std::unique_ptr<TTavex> Item);
  int Count() const { return static_cast<int>(Items_.size()); }
  TTavex* Items(int Index) const;
  void Clear();
  // Exchanges the records of two lists (no record is copied or moved).
  void Swap(TTavexList& Other) noexcept { Items_.swap(Other.Items_); }

 private:
  std::vector<std::unique_ptr<TTavex>> Items_;
};

// Comm.Open(AdapterID), refused (false, socket closed, nothing sent) when
// the adapter has no address of its own: its row shows "0.0.0.0" while its
// cable is out or it is down, and a socket bound there would take every
// address and send a broadcast out by whatever way the host routes it.
bool OpenOnAdapter(TCommunicator& Comm, const std::string& AdapterID);

// NAD from an autodetect answer's text: an unsigned 32-bit decimal. A text
// that is no such number gives 0.
int64_t NadFromText(const std::string& Text);

}  // namespace tavex
