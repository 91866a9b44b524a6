#include "ui/uOperationsController.h"

#include <QMetaObject>

#include <utility>

namespace tavex {

TOperationsController::TOperationsController(QObject* Parent) : QObject(Parent) {}

TOperationsController::~TOperationsController() { Abandon(); }

bool TOperationsController::Start(TRunPlan Plan) {
  if (Running_) return false;
  const unsigned generation = ++Generation_;
  // Each report is handed to this object's thread; this object outlives the
  // run (Abandon), and a report of an abandoned run is dropped there.
  auto post = [this, generation](auto Fn) {
    QMetaObject::invokeMethod(
        this,
        [this, generation, Fn = std::move(Fn)] {
          if (generation == Generation_) Fn();
        },
        Qt::QueuedConnection);
  };
  TRunEvents events;
  events.Started = [this, post](int Row) { post([this, Row] { emit RowStarted(Row); }); };
  events.Finished = [this, post](int Row, const TFleetResult& Result) {
    post([this, Row, Result] { emit RowFinished(Row, Result); });
  };
  events.Ended = [this, post](bool Stopped) {
    post([this, Stopped] {
      // The run's thread has nothing left to do but return: joined, and the
      // records' stop flag taken off, before anyone hears of the end.
      Runner_.Wait();
      Running_ = false;
      emit RunEnded(Stopped);
    });
  };
  if (!Runner_.Start(std::move(Plan), std::move(events))) return false;
  Running_ = true;
  return true;
}

void TOperationsController::Stop() { Runner_.Stop(); }

void TOperationsController::Abandon() {
  Runner_.Stop();
  Runner_.Wait();
  ++Generation_;
  Running_ = false;
}

}  // namespace tavex
