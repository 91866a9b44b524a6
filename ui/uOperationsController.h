// The desktop tool's Read and Write as the window sees them: started here,
// served off the user-interface thread by plc/'s operation runner, and
// reported back as signals on the thread that owns this object (each
// worker's report is queued to it; nothing waits, nothing processes the
// window's events inside a wait).
//
// Threads: create, call and destroy on the user-interface thread. The
// signals come on that thread, in the order the workers reported them.
#pragma once

#include <QObject>

#include "plc/uFleet.h"
#include "plc/uOperationRunner.h"

namespace tavex {

class TOperationsController : public QObject {
  Q_OBJECT

 public:
  explicit TOperationsController(QObject* Parent = nullptr);
  // Stops a run under way and waits for it; no signal follows.
  ~TOperationsController() override;

  // Starts a run (see TOperationRunner::Start); false while one is under
  // way. From here until a row's RowFinished its record belongs to the run.
  bool Start(TRunPlan Plan);
  // Nothing more is sent; the request in flight is abandoned. RunEnded follows.
  void Stop();
  // Stops and waits for the run's thread; the signals still queued are dropped.
  void Abandon();
  // From Start until RunEnded has been emitted.
  bool Running() const { return Running_; }

 signals:
  void RowStarted(int Row);
  void RowFinished(int Row, const tavex::TFleetResult& Result);
  void RunEnded(bool Stopped);

 private:
  TOperationRunner Runner_;
  bool Running_ = false;
  // Reports of an abandoned run that are still queued are not emitted.
  unsigned Generation_ = 0;
};

}  // namespace tavex
