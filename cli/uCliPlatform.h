#pragma once
// What tavexctl needs from the operating system beyond the core: standard
// descriptors, the terminal, its own path, stop requests and descriptor
// limits. One implementation per platform (uCliPlatformLinux.cpp,
// uCliPlatformWindows.cpp). Nothing here throws.
//
// Threads: the main thread, before the run starts (the stop handler itself
// runs wherever the system calls it).

#include <cstddef>
#include <string>

namespace tavex {

// Whether descriptor Fd is open.
bool DescriptorOpen(int Fd);

// Whether descriptor Fd is a terminal that takes the progress line's
// control sequences ("\r", erase to end of line). On Windows this switches
// the console to process them, where it can.
bool TerminalAcceptsControls(int Fd);

// Columns of the terminal on descriptor Fd; 0 when unknown.
size_t TerminalColumns(int Fd);

// The running program's own file; empty when unknown.
std::string ProgramPath();

// Handler runs once for each stop request: SIGINT or SIGTERM on Linux; on
// Windows Ctrl+C, Ctrl+Break or the console closing. It must only set a flag.
void InstallStopHandler(void (*Handler)());

// Lets the process hold as many descriptors (sockets) as it may.
void RaiseDescriptorLimit();

}  // namespace tavex
