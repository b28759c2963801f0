// A program the test starts and stops by its process id. Its standard output
// is read line by line; the process is killed if the test forgets to stop it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ChildProcess {
 public:
  explicit ChildProcess(std::vector<std::string> argv);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Waits for a line of standard output containing text; returns it, or the
  // empty text after timeout or when the process ended.
  std::string WaitForLine(const std::string& text, std::chrono::milliseconds timeout);
  // Everything printed so far (standard output and error).
  std::string Output() const;

  // Sends signal and waits up to timeout for the end. Returns the exit code,
  // 128 + signal for a killed process, or -1 when it did not end in time.
  int Stop(int signal, std::chrono::milliseconds timeout);
  pid_t pid() const { return pid_; }

 private:
  void ReadOutput(int fd);

  pid_t pid_ = -1;
  int exit_code_ = -1;
  bool exited_ = false;
  mutable std::mutex mutex_;
  std::string output_;  // guarded by mutex_
  bool output_closed_ = false;  // guarded by mutex_
  std::thread reader_;
};
