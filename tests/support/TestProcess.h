// Programs run as child processes by the tests: spawned with both output
// streams on pipes, drained until they close, reaped with their exit status.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace tavex {
namespace testproc {

using namespace std::chrono_literals;

struct TRun {
  int Status = -1;  // exit status; 128 + signal; -1 when it had to be killed
  std::string Out, Err;
  nlohmann::json J;  // stdout parsed, when it is JSON
};

inline pid_t Spawn(const std::vector<std::string>& Args, int& Out, int& Err) {
  int out[2], err[2];
  if (pipe(out) != 0 || pipe(err) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    close(out[0]);
    close(err[0]);
    close(out[1]);
    close(err[1]);
    std::vector<char*> argv;
    for (const auto& a : Args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  Out = out[0];
  Err = err[0];
  return pid;
}

inline int Reap(pid_t Pid, bool Kill) {
  int status = 0;
  if (Kill) kill(Pid, SIGKILL);
  if (waitpid(Pid, &status, 0) != Pid) return -1;
  if (Kill) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Reads the two pipes into Out and Err until both are closed (true) or
// Limit has passed (false).
inline bool Drain(int OutFd, int ErrFd, std::string& Out, std::string& Err,
                  std::chrono::milliseconds Limit) {
  const auto end = std::chrono::steady_clock::now() + Limit;
  bool outOpen = true, errOpen = true;
  while (outOpen || errOpen) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p[2] = {{outOpen ? OutFd : -1, POLLIN, 0}, {errOpen ? ErrFd : -1, POLLIN, 0}};
    if (poll(p, 2, static_cast<int>(left.count())) <= 0) continue;
    char buf[4096];
    for (int i = 0; i < 2; ++i) {
      if (p[i].revents == 0) continue;
      const ssize_t n = read(p[i].fd, buf, sizeof buf);
      if (n <= 0) {
        (i == 0 ? outOpen : errOpen) = false;
        continue;
      }
      (i == 0 ? Out : Err).append(buf, static_cast<size_t>(n));
    }
  }
  return true;
}

// Runs a program to its end (at most Limit, then it is killed), collecting
// both streams.
inline TRun RunProgram(const std::vector<std::string>& Args, std::chrono::milliseconds Limit = 60s) {
  TRun r;
  int out = -1, err = -1;
  const pid_t pid = Spawn(Args, out, err);
  if (pid < 0) return r;
  const bool done = Drain(out, err, r.Out, r.Err, Limit);
  close(out);
  close(err);
  r.Status = Reap(pid, !done);
  return r;
}

}  // namespace testproc
}  // namespace tavex
