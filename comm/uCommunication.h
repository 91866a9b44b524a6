// TCommunicator: the tool's only way to reach a controller. One UDP socket
// bound to an address of one local adapter, one A-bus request at a time with
// a time-out and a bounded number of attempts, reassembly and validation of
// the answer, broadcast autodetect; and on top of it the controller services
// (ping, run status, memory pages, program header, allocation archive,
// variable read and write).
//
// Threads: every public operation runs on the owner's thread (the UI thread
// of the desktop tool, the main thread of tavexctl and tests), one at a time.
// The socket's listener thread runs HandleDatagram only. They hand over
// through the atomic transaction state (release/acquire) and a small mutex
// that guards the receive text and the last-frame fields.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "comm/hCommunication.h"
#include "hostutil/uEthernetUtils.h"
#include "hostutil/uMemoryStream.h"

namespace tavex {

class TUdpSocket;
class TTavexVarList;

enum class TTransState : uint8_t { Idle, Waiting, Receiving };

// A copy of what the last parsed frame said.
struct TLastFrame {
  std::string FrameText;    // hex text of the whole frame
  std::string PayloadText;  // hex text of its payload
  std::string PeerIP;
  uint16_t PeerPort = 0;
  uint32_t SourceNad = 0;
  uint32_t DestNad = 0;
  uint8_t Direction = 0;
};

// A sender of datagrams that Autodetect skipped: whole frames that were no
// answer to the tool (another station's request, an answer to another
// master), or datagrams that never made a valid frame.
struct TSkippedSender {
  std::string IP;
  uint64_t Foreign = 0;  // whole frames that were no answer to the tool
  uint64_t Damaged = 0;  // datagrams or frames that did not validate
  bool HasNad = false;   // a whole frame came from it: Nad is its source NAD
  uint32_t Nad = 0;      // (that of the first one)
  // Something from it may have been meant as an answer to the tool: a
  // datagram that did not validate, or a frame to the tool's NAD that was
  // no answer (Direction 0, Aux not 0). Other stations' traffic is not.
  bool MaybeAnswer = false;
};

// What the last Autodetect saw besides the answers it listed.
struct TDetectReport {
  // Answers that may be missing from the lists: datagrams the system
  // dropped on the listening socket (its receive queue was full; not
  // counted where the system does not tell, Windows), and answers beyond
  // kMaxDetected.
  uint64_t Lost = 0;
  // The receive buffer the system granted the listening socket, in its own
  // count (see TUdpSocket::ReceiveBuffer); 0 when not known.
  size_t ReceiveBuffer = 0;
  // Frames and datagrams skipped, and their senders in order of first
  // arrival (at most kMaxSkippedSenders of them; Skipped counts them all).
  uint64_t Skipped = 0;
  std::vector<TSkippedSender> Senders;
};

// Answers that came after their request's time-out: seen on the request's
// socket once the request had ended (answered by an earlier attempt, or
// given up), later than the request's Timeout after its latest send. So
// each was surely late whichever attempt it answered, and its delay is
// counted from that latest send: at least how late it was (exactly, for
// the answer to the last attempt). Direct connections and Autodetect are
// not watched. Where the system does not tell a datagram's arrival time
// (Windows), what reaches a resting socket is not counted.
struct TLateAnswers {
  uint64_t Count = 0;
  int MaxDelayMs = 0;    // the longest delay among them
  uint64_t Resent = 0;   // requests sent again (an attempt ended without an answer)
  uint64_t GivenUp = 0;  // requests that no attempt got an answer to
};

class TCommunicator {
 public:
  // The receive path examines no more of a datagram than this; the rest of
  // a longer datagram is ignored (a frame is never longer than 1038 bytes).
  static constexpr size_t kMaxDatagram = 2048;
  // Longest unparsed receive text kept, in hex characters.
  static constexpr size_t kMaxReceiveText = 2080;
  // Autodetect keeps at most this many answers (a flood cannot grow the lists).
  static constexpr size_t kMaxDetected = 4096;
  // Autodetect names at most this many senders of skipped datagrams, and
  // holds the unfinished frames of at most this many senders at a time.
  static constexpr size_t kMaxSkippedSenders = 64;
  static constexpr size_t kMaxPartialFrames = 64;
  // The receive buffer Autodetect asks for its listening socket: the
  // answers of a whole network arrive at once, and what does not fit is
  // dropped by the system. On Linux a short answer takes about 1 KiB of
  // buffer on loopback (datagram and bookkeeping), often 2 KiB from a
  // network card; the system reports twice the size asked.
  static constexpr size_t kDetectReceiveBuffer = 2 * 1024 * 1024;

  // Creates the socket inactive and selects the adapter of the host's own address.
  TCommunicator();
  // Stops and joins the listener thread before anything it touches is freed.
  ~TCommunicator();
  TCommunicator(const TCommunicator&) = delete;
  TCommunicator& operator=(const TCommunicator&) = delete;

  // --- Transport -----------------------------------------------------------

  // Selects the adapter (by ID, or the host's own when empty), binds and
  // activates the socket. False when the adapter is unknown or on error.
  bool Open(const std::string& AdapterID);
  // Deactivates the socket and removes its binding; false only on error.
  bool Close();
  // Deactivates the socket; the binding stays.
  void Deactivate();
  bool IsActive() const;
  // Direct cable to one controller: requests go to 255.255.255.255 (from the
  // next request on), the socket binds local port 65535 (from the next Open).
  void SetDirectConnection(bool Value);
  // A new NAD forgets the remote address (it has still to be learned).
  void SetNad(uint32_t Value);
  // "host" or "host:port"; never fails (an unusable text is taken whole as
  // the host, with port 8442).
  void SetAddress(const std::string& Text);
  // Broadcasts one ping to NAD 0 and collects every answer for ListenMs.
  // Replaces the lists' contents: NAD (unsigned decimal) and IP, entry i of
  // one belonging to entry i of the other, in order of arrival. False only
  // when a list is missing. The listening always lasts ListenMs: a frame
  // that is no answer to the tool, or a datagram that holds no valid frame,
  // is skipped and counted with its sender (DetectReport), and never
  // swallows the answers of others.
  bool Autodetect(std::vector<std::string>* NadList, std::vector<std::string>* IpList,
                  int ListenMs);
  // What the last Autodetect skipped, and whether the system dropped
  // datagrams on its listening socket.
  TDetectReport DetectReport() const;
  // Whether the last Autodetect's lists may be incomplete: the system
  // dropped datagrams on its listening socket, or more answered than the
  // lists hold (DetectReport().Lost > 0).
  bool AutodetectIncomplete() const;

  // Sends a built request and waits for the answer, with retries. True when
  // an attempt ended with a parsed frame of Direction 1; LastFrame() then
  // describes it. Each call sends from a socket of its own (a new local
  // port), except on a direct connection, whose port is fixed: there a send
  // after a time-out first waits one Timeout, dropping whatever arrives.
  // After the call the socket rests for Retries x Timeout once it is
  // replaced, so that its port is not handed out while an answer to it can
  // still arrive.
  //
  // Only the asked controller answers: for a request to NAD n (not 0), a
  // frame counts only when its SourceNad is n, it is addressed to the tool
  // (DestNad 1) when its Direction is 1, and, unless the request was
  // broadcast (a direct connection, or no RemoteIP), it comes from the
  // address the request went to. Any other frame is dropped and counted
  // (ForeignDropped) and the wait goes on. A request to NAD 0 takes any
  // controller's answer.
  bool Transact(const uint8_t* Frame, uint16_t Len);
  // A request without data to Nad.
  bool SendCommand(uint8_t Command);
  // Waits until a frame ends the attempt (true when its Direction is 1) or
  // TimeoutMs passes (false).
  bool WaitForAnswer(int TimeoutMs);
  // The receive path: runs on the listener thread (tests call it directly).
  void HandleDatagram(const uint8_t* Data, size_t Size, const std::string& SenderIP,
                      uint16_t SenderPort);
  // The same with the datagram's arrival time (CLOCK_REALTIME, ns; 0 when
  // unknown). A datagram that reached the host before the waiting request
  // was sent cannot be its answer (a late copy of an earlier answer): it is
  // dropped. Everything else goes through HandleDatagram unchanged.
  void HandleDatagramAt(const uint8_t* Data, size_t Size, const std::string& SenderIP,
                        uint16_t SenderPort, int64_t ArrivalNs);
  // Count of datagrams dropped that way.
  uint64_t StaleDropped() const { return StaleDropped_.load(std::memory_order_relaxed); }
  // Count of whole frames that a transaction dropped because another
  // controller (or another address, or an answer to another master) sent
  // them.
  uint64_t ForeignDropped() const { return ForeignDropped_.load(std::memory_order_relaxed); }
  // Count of datagrams that the socket received while no request waited on
  // it: between requests, during a direct connection's quiet period, or still
  // queued on a request's socket when it was replaced. None of them reached
  // the receive path. (Those that arrive after their socket was closed are
  // dropped by the system and counted nowhere.)
  uint64_t UnsolicitedDropped() const;
  // Rebinds the socket to the adapter's address (and port 65535 when direct).
  void BindSocket();

  // What came late so far (see TLateAnswers). Any thread.
  TLateAnswers LateAnswers() const;
  // When the socket of the last request stops taking late answers: the
  // request's end plus Retries x Timeout (its rest). Owner's thread.
  std::chrono::steady_clock::time_point LateAnswersUntil() const { return LateUntil_; }
  // Ends the rests of earlier requests' sockets now, so that what reached
  // them is counted in LateAnswers. Owner's thread.
  void EndRests();

  TTransState State() const { return State_.load(std::memory_order_acquire); }
  TLastFrame LastFrame() const;
  // Count of datagrams sent by Transact since construction.
  uint64_t SendCount() const { return SendCount_; }
  // Local port of the active socket (0 when inactive).
  uint16_t LocalPort() const;

  // --- Controller services ---------------------------------------------------

  // Ping; on success RemoteIP becomes the answer's sender.
  bool Ping();
  // The "PLC run" test: status bytes 1 and 2.
  bool IsPlcRunning();
  // The "PLC program" test: a valid code header.
  bool HasProgram();
  // Compares the header's program stamp with the stored one, then stores it.
  bool IsProgramUnchanged();
  // The bytes of "alc.zip" from the controller's file directory. Stream is
  // replaced by a new stream holding them (or reset on failure).
  bool ReadAlcArchive(std::unique_ptr<TMemoryStream>& Stream);
  // Reads / writes the values of the list's transferable elements, in
  // batches of 100.
  bool ReadVarList(TTavexVarList* List);
  // How far a WriteVarList went, counted in list items from the start: the
  // items of acknowledged batches, and those of every batch that was sent
  // (acknowledged or not: a batch sent without acknowledgement may have
  // been stored). Items from Sent on were never sent. Batches counts the
  // batches that hold items, Acknowledged* those of them acknowledged.
  struct TWriteProgress {
    int Acknowledged = 0;
    int Sent = 0;
    int Batches = 0;
    int BatchesAcknowledged = 0;
  };
  bool WriteVarList(TTavexVarList* List, TWriteProgress* Progress = nullptr);

  bool SendPing();
  // The run status bytes. False on no answer, and on an answer whose bytes
  // are out of range (First above 2, Second above 5) or missing; Answered
  // (optional) tells the two apart: true when an answer came.
  bool ReadStatus(uint8_t& First, uint8_t& Second, bool* Answered = nullptr);
  // One page from its start: Count bytes (1..256) into Buf (1040 bytes).
  bool ReadBlock(uint16_t Page, uint16_t Count, uint8_t* Buf);
  // Any range below 16 MiB, page by page; the stream is emptied first.
  bool ReadMemory(int32_t Address, int32_t Size, TMemoryStream* Stream);
  bool ReadCodeHeader(std::vector<uint8_t>& Header);
  bool ReadCodeHeaderStart(std::vector<uint8_t>& Header);
  bool ReadVars(int NBytes, int NWords, int NLongs, const uint16_t* Addresses, uint8_t* Buf);
  bool WriteVars(int NBytes, int NWords, int NLongs, const uint16_t* Addresses,
                 const uint8_t* Values);
  void DoProgress(int Position, int Count);

  // --- Fields the owner reads and sets ---------------------------------------

  TEthernetAdapterInfo Adapter;
  std::string RemoteIP;  // empty or "0.0.0.0": requests are broadcast
  int RemotePort = kDefaultPort;
  uint32_t Nad = 0xFFFFFFFF;
  uint32_t CodeStamp = 0;  // program stamp last read from the controller
  uint16_t PasswordHash = 0;
  std::string AddressText;
  int Timeout = kDefaultTimeoutMs;
  int Retries = kDefaultRetries;
  // What Timeout returns to after each Transact, and Retries after
  // Autodetect: the transport's values for this communicator (tavexctl's
  // --timeout and --retries set them).
  int DefaultTimeout = kDefaultTimeoutMs;
  int DefaultRetries = kDefaultRetries;
  bool DirectConnection = false;
  // The receive buffer Autodetect asks for (tests make it small).
  size_t DetectReceiveBuffer = kDetectReceiveBuffer;

  // Called after each block of a multi-block memory read (third argument ignored).
  std::function<void(int Position, int Count, int& Ignored)> OnProgress;
  // Called on the listener thread, with the communicator's lock held, for
  // every parsed frame whose DestNad is 0 or 1. Must not call the communicator.
  std::function<void(const std::string& PeerIP, uint16_t PeerPort, uint32_t SourceNad,
                     uint32_t DestNad, uint8_t Direction, uint8_t Aux,
                     const std::string& FrameText, const std::string& PayloadText)>
      OnReceive;
  // When set and true, Transact sends nothing more and fails at once (an
  // interrupted run). Stopped() then tells that a transaction was refused
  // (or abandoned, below) this way.
  const std::atomic<bool>* StopFlag = nullptr;
  // With StopFlag: a transaction that waits for its answer when the flag
  // turns true gives the wait up within one poll and is not sent again.
  // False: the frame in flight is still waited for (its answer tells, for a
  // write, whether it was taken).
  bool AbandonOnStop = false;
  bool Stopped() const { return Stopped_; }
  // Forgets an earlier stop (Stopped() false), for the next run.
  void ClearStopped() { Stopped_ = false; }
  // Sees every datagram sent (Sent true: destination; on the owner's
  // thread, after the send) and every datagram the socket received (Sent
  // false: sender; on the listener thread with the communicator's lock held,
  // before it is judged, so dropped ones too). Must not call the
  // communicator. Empty: nothing.
  std::function<void(bool Sent, const std::string& IP, uint16_t Port, const uint8_t* Data,
                     size_t Size)>
      OnTrace;
  // Runs at least every 5 ms while a transaction waits, on the waiting
  // thread. Empty: nothing.
  std::function<void()> IdleHook;
  // Millisecond tick counter for time-outs; wraps harmlessly. Empty: steady clock.
  std::function<uint32_t()> TickSource;
  // A seam for tests and fuzzers: when set, Transact hands each datagram to
  // it instead of the socket (true: sent). Datagrams can then be fed to
  // HandleDatagram from inside it, without any socket.
  std::function<bool(const uint8_t* Data, size_t Size, const std::string& Host, uint16_t Port)>
      SendHook;

 private:
  uint32_t Ticks() const;
  // A datagram from the socket: dropped unless a request waits on the socket
  // it came from (Generation), else HandleDatagramAt. Listener thread.
  void HandleSocketDatagram(const uint8_t* Data, size_t Size, const std::string& SenderIP,
                            uint16_t SenderPort, int64_t ArrivalNs, uint64_t Generation);
  // The receive path proper, with Lock_ held; Text is the datagram in hex.
  void HandleLocked(const std::string& Text, const std::string& SenderIP, uint16_t SenderPort,
                    int64_t ArrivalNs);
  // The receive path while Autodetect collects, with Lock_ held: each
  // sender's datagrams on their own.
  void CollectLocked(const std::string& Text, const std::string& SenderIP, uint16_t SenderPort);
  // A parsed frame while collecting: listed when it answers the tool,
  // skipped otherwise. With Lock_ held.
  // Keeps a parsed frame as the last frame and tells OnReceive. Lock_ held.
  void StoreFrameLocked(std::string& Frame, std::string& Payload, uint32_t Src, uint32_t Dst,
                        uint8_t Dir, uint8_t Aux, const std::string& SenderIP, uint16_t SenderPort);
  void CollectFrameLocked(std::string& Frame, std::string& Payload, uint32_t Src, uint32_t Dst,
                          uint8_t Dir, uint8_t Aux, const std::string& SenderIP,
                          uint16_t SenderPort);
  // Counts a skipped frame (Whole: a valid frame that was no answer, from
  // Nad, to Dst) or a skipped datagram, with its sender. With Lock_ held.
  void NoteSkippedLocked(const std::string& SenderIP, bool Whole, uint32_t Nad = 0,
                         uint32_t Dst = 0);
  // The quiet period of a direct connection: QuietMs_ of waiting while the
  // state is Idle, so that everything that arrives is dropped.
  void WaitQuiet();
  // A send of the request on socket Generation, armed at ArmedNs (Lock_
  // held): the record that later datagrams on that socket are judged by.
  void NoteSendLocked(uint64_t Generation, int64_t ArmedNs, int TimeoutMs);
  // A datagram that reached socket Generation after its request ended
  // (Lock_ held): late when it came more than the request's Timeout after
  // its latest send.
  void NoteAfterRequestLocked(uint64_t Generation, int64_t ArrivalNs);
  // Payload of the accepted answer, as bytes, into a zeroed 1040-byte buffer.
  int PayloadBytes(uint8_t* Buf) const;
  void ClearPayload();

  std::unique_ptr<TUdpSocket> Socket_;
  uint16_t LocalPort_ = 0;

  // Shared with the listener thread.
  std::atomic<TTransState> State_{TTransState::Idle};
  mutable std::mutex Lock_;
  std::condition_variable Changed_;
  std::string RxText_;
  TLastFrame Last_;
  bool Collecting_ = false;
  std::vector<std::string> NadList_;
  std::vector<std::string> IpList_;
  // While collecting: per sender, the start of a frame whose rest is still
  // to come (hex text from its "AA55").
  struct TPartialFrame {
    std::string IP;
    uint16_t Port = 0;
    std::string Text;
  };
  std::vector<TPartialFrame> Partials_;
  TDetectReport Report_;

  uint64_t SendCount_ = 0;
  // When the waiting request was armed (CLOCK_REALTIME, ns); 0: none yet.
  std::atomic<int64_t> ArmedAtNs_{0};
  std::atomic<uint64_t> StaleDropped_{0};
  std::atomic<uint64_t> ForeignDropped_{0};
  // Who may answer the waiting request (guarded by Lock_): set while a
  // transaction runs. ExpectNad_ 0: any controller; ExpectIP_ empty: any
  // address.
  bool Expecting_ = false;
  uint32_t ExpectNad_ = 0;
  std::string ExpectIP_;
  std::atomic<uint64_t> UnsolicitedDropped_{0};
  // Generation of the socket that the waiting request was sent from (guarded
  // by Lock_).
  uint64_t WaitGeneration_ = 0;
  // The requests whose sockets may still take late answers: at most
  // kMaxSentRecords, the latest last (guarded by Lock_).
  struct TSentRecord {
    uint64_t Generation = 0;
    int64_t LastSendNs = 0;
    int TimeoutMs = 0;
  };
  static constexpr size_t kMaxSentRecords = 80;
  std::deque<TSentRecord> Sent_;
  TLateAnswers Late_;  // guarded by Lock_
  std::chrono::steady_clock::time_point LateUntil_{};  // owner's thread
  // Owner's thread only.
  bool LastWaitTimedOut_ = false;
  int QuietMs_ = 0;
  bool Stopped_ = false;  // a transaction was refused by StopFlag  // quiet period due before the next direct-connection send
};

}  // namespace tavex
