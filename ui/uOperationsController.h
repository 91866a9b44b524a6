// The desktop tool's operations as the window sees them (Read and Write,
// the status check, Autodetect): started here, run off the user-interface
// thread by plc/'s operation runner, and reported back as signals on the
// thread that owns this object (each report of the run's threads is queued
// to it; nothing waits, nothing processes the window's events inside a
// wait).
//
// Threads: create, call and destroy on the user-interface thread. The
// signals come on that thread, in the order the run reported them.
#pragma once

#include <QObject>

#include <functional>

#include "plc/uFleet.h"
#include "plc/uOperationRunner.h"
#include "plc/uOperations.h"

namespace tavex {

class TOperationsController : public QObject {
  Q_OBJECT

 public:
  explicit TOperationsController(QObject* Parent = nullptr);
  // Stops a run under way and waits for it; no signal follows.
  ~TOperationsController() override;

  // Each starts a run (see TOperationRunner); false while one is under way.
  // What the run holds (a row's record until its finished signal; for
  // Autodetect the communicator and the list until DetectEnded) belongs to
  // it meanwhile.
  // Read or Write: RowStarted, RowFinished for each row, then RunEnded.
  bool Start(TRunPlan Plan);
  // The status check: StatusStarted, StatusStep for each step, StatusFinished
  // for each row, then StatusEnded.
  bool StartStatus(TStatusPlan Plan);
  // Autodetect: DetectRound after each broadcast, then DetectEnded.
  bool StartDetect(TDetectPlan Plan);
  // Nothing more is sent; the request in flight is abandoned. The run's end
  // signal follows.
  void Stop();
  // Stops and waits for the run's thread; the signals still queued are dropped.
  void Abandon();
  // From Start until the run's end signal has been emitted.
  bool Running() const { return Running_; }

 signals:
  void RowStarted(int Row);
  void RowFinished(int Row, const tavex::TFleetResult& Result);
  // A Write's journal was appended (Kept) or could not be (Error says why);
  // before RunEnded.
  void Journalled(bool Kept, const QString& Error);
  void RunEnded(bool Stopped);

  void StatusStarted(int Row);
  void StatusStep(int Row, int Step, bool Ok);
  void StatusFinished(int Row, const tavex::TStatusResult& Result);
  void StatusEnded(bool Stopped);

  void DetectRound(const tavex::TDetectRound& Round);
  void DetectEnded(bool Opened, const tavex::TDetectOutcome& Outcome, bool Stopped);

 private:
  // Hands Fn to this object's thread, to run there unless the run it
  // belongs to (Generation) has been abandoned meanwhile.
  void Post(unsigned Generation, std::function<void()> Fn);
  // Runs on this thread when the run's end is reported: the run's thread is
  // joined first, then Emit tells of the end.
  std::function<void()> EndOf(std::function<void()> Emit);
  // Starts a run through Launch; false when the runner refused it.
  bool Begin(const std::function<bool(unsigned Generation)>& Launch);

  TOperationRunner Runner_;
  bool Running_ = false;
  // Reports of an abandoned run that are still queued are not emitted.
  unsigned Generation_ = 0;
};

}  // namespace tavex
