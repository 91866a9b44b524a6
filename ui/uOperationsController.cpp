#include "ui/uOperationsController.h"

#include <QMetaObject>

#include <utility>

namespace tavex {

TOperationsController::TOperationsController(QObject* Parent) : QObject(Parent) {}

TOperationsController::~TOperationsController() { Abandon(); }

void TOperationsController::Post(unsigned Generation, std::function<void()> Fn) {
  // This object outlives the run (Abandon), and a report of an abandoned
  // run is dropped on arrival.
  QMetaObject::invokeMethod(
      this,
      [this, Generation, Fn = std::move(Fn)] {
        if (Generation == Generation_) Fn();
      },
      Qt::QueuedConnection);
}

std::function<void()> TOperationsController::EndOf(std::function<void()> Emit) {
  return [this, Emit = std::move(Emit)] {
    // The run's thread has nothing left to do but return: joined, and the
    // communicators' stop flag taken off, before anyone hears of the end.
    Runner_.Wait();
    Running_ = false;
    Emit();
  };
}

bool TOperationsController::Begin(const std::function<bool(unsigned Generation)>& Launch) {
  if (Running_) return false;
  const unsigned generation = ++Generation_;
  if (!Launch(generation)) return false;
  Running_ = true;
  return true;
}

bool TOperationsController::Start(TRunPlan Plan) {
  return Begin([&](unsigned g) {
    TRunEvents events;
    events.Started = [this, g](int Row) { Post(g, [this, Row] { emit RowStarted(Row); }); };
    events.Finished = [this, g](int Row, const TFleetResult& Result) {
      Post(g, [this, Row, Result] { emit RowFinished(Row, Result); });
    };
    events.Journalled = [this, g](bool Kept, const std::string& Error) {
      Post(g, [this, Kept, Error] { emit Journalled(Kept, QString::fromStdString(Error)); });
    };
    events.Ended = [this, g](bool Stopped) {
      Post(g, EndOf([this, Stopped] { emit RunEnded(Stopped); }));
    };
    return Runner_.Start(std::move(Plan), std::move(events));
  });
}

bool TOperationsController::StartStatus(TStatusPlan Plan) {
  return Begin([&](unsigned g) {
    TStatusEvents events;
    events.Started = [this, g](int Row) { Post(g, [this, Row] { emit StatusStarted(Row); }); };
    events.Step = [this, g](int Row, int Step, bool Ok) {
      Post(g, [this, Row, Step, Ok] { emit StatusStep(Row, Step, Ok); });
    };
    events.Finished = [this, g](int Row, const TStatusResult& Result) {
      Post(g, [this, Row, Result] { emit StatusFinished(Row, Result); });
    };
    events.Ended = [this, g](bool Stopped) {
      Post(g, EndOf([this, Stopped] { emit StatusEnded(Stopped); }));
    };
    return Runner_.StartStatus(std::move(Plan), std::move(events));
  });
}

bool TOperationsController::StartDetect(TDetectPlan Plan) {
  return Begin([&](unsigned g) {
    TDetectEvents events;
    events.Round = [this, g](const TDetectRound& Round) {
      Post(g, [this, Round] { emit DetectRound(Round); });
    };
    events.Ended = [this, g](bool Opened, const TDetectOutcome& Outcome, bool Stopped) {
      Post(g, EndOf([this, Opened, Outcome, Stopped] { emit DetectEnded(Opened, Outcome, Stopped); }));
    };
    return Runner_.StartDetect(std::move(Plan), std::move(events));
  });
}

void TOperationsController::Stop() { Runner_.Stop(); }

void TOperationsController::Abandon() {
  Runner_.Stop();
  Runner_.Wait();
  ++Generation_;
  Running_ = false;
}

}  // namespace tavex
