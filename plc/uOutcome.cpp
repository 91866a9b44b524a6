#include "plc/uOutcome.h"

#include "plc/uTavex.h"

namespace tavex {

namespace {

std::string Controllers(int N) { return N == 1 ? " controller" : " controllers"; }

// "1003", "1003 and 1017", "1003, 1005 and 1017", "1003, ..., 1021 and 3 more".
std::string NadList(const std::vector<int64_t>& Nads) {
  const size_t shown = Nads.size() > kOutcomeNadsShown ? kOutcomeNadsShown : Nads.size();
  std::vector<std::string> names;
  for (size_t i = 0; i < shown; ++i) names.push_back(std::to_string(Nads[i]));
  if (Nads.size() > shown) names.push_back(std::to_string(Nads.size() - shown) + " more");
  std::string text;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += i + 1 == names.size() ? " and " : ", ";
    text += names[i];
  }
  return text;
}

}  // namespace

std::string OutcomeSentence(const std::string& Done, int Served, int Total,
                            const std::vector<TOutcomeFailure>& Failures) {
  std::string text = Done + " ";
  text += Served == Total ? std::to_string(Total) : std::to_string(Served) + " of " + std::to_string(Total);
  text += Controllers(Total);
  std::vector<int64_t> silent;
  std::vector<const TOutcomeFailure*> other;
  for (const TOutcomeFailure& f : Failures) {
    if (f.NoAnswer)
      silent.push_back(f.Nad);
    else
      other.push_back(&f);
  }
  if (!silent.empty()) text += "; " + NadList(silent) + " did not answer";
  for (size_t i = 0; i < other.size() && i < kOutcomeDetailsShown; ++i)
    text += "; " + std::to_string(other[i]->Nad) + ": " + other[i]->Why;
  if (other.size() > kOutcomeDetailsShown)
    text += "; " + std::to_string(other.size() - kOutcomeDetailsShown) + " more failed";
  const char last = text.back();
  if (last != '.' && last != '!' && last != '?') text += '.';
  return text;
}

TOutcomeFailure FleetFailure(int64_t Nad, const TFleetResult& Result) {
  TOutcomeFailure f;
  // A stop is the user's, not the controller's.
  if (!Result.GivenUp || Result.Interrupted) return f;
  f.Nad = Nad;
  if (Result.NoAnswer) {
    f.NoAnswer = true;
    f.Why = kErrPing;
    f.Detail = Result.Error;
  } else {
    f.Why = Result.Error.empty() ? std::string("Unexpected error") : Result.Error;
  }
  return f;
}

TOutcomeFailure StatusFailure(int64_t Nad, const TStatusResult& Result) {
  TOutcomeFailure f;
  if (Result.Interrupted) return f;
  for (int s = 0; s < kStatusSteps; ++s) {
    const TStatusStep& step = Result.Steps[s];
    if (step.State != TStepState::Error) continue;
    if (step.NoAnswer) {
      f.NoAnswer = true;
      f.Why = kErrPing;
      f.Detail = step.Cause;
    } else if (s == skNetwork) {
      f.Why = kErrOpen;
      f.Detail = step.Cause;
    } else if (s == skProgram) {
      f.Why = kErrProgram;  // the header was read, and holds no program
    } else if (s == skAlc && step.Cause == kNoAlcCause) {
      // Without a program there is no allocation file to look for: the
      // program's finding says it all.
      if (Result.Steps[skProgram].State == TStepState::Error) continue;
      f.Why = kErrAlc;
    } else if (s == skRun && step.Cause == kStoppedCause) {
      continue;  // a finding the grid shows; the check went through
    } else {
      f.Why = step.Cause;
    }
    f.Nad = Nad;
    return f;
  }
  return TOutcomeFailure{};
}

std::string FailureLine(const TOutcomeFailure& Failure) {
  return std::to_string(Failure.Nad) + ": " + Failure.Why +
         (Failure.Detail.empty() ? std::string() : " (" + Failure.Detail + ")");
}

}  // namespace tavex
