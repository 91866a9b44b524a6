#pragma once
// tavex-sim's end: a stop request from outside (Linux: SIGINT or SIGTERM;
// Windows: Ctrl+C, Ctrl+Break or the console closing) or the run's time.
//
// Threads: BlockStopRequests() on the main thread before any other thread
// exists; WaitForStop() on the main thread.

namespace tavex::sim {

// From here on a stop request no longer ends the process at once; it ends
// WaitForStop instead.
void BlockStopRequests();

// Returns on a stop request, or after Seconds (never, for Seconds < 0).
void WaitForStop(long Seconds);

}  // namespace tavex::sim
