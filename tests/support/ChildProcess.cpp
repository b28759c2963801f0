#include "support/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

ChildProcess::ChildProcess(std::vector<std::string> argv) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::vector<char*> args;
  for (auto& arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    // A test that dies takes its servers with it.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    dup2(pipe_fds[1], STDOUT_FILENO);
    dup2(pipe_fds[1], STDERR_FILENO);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(pipe_fds[1]);
  reader_ = std::thread(&ChildProcess::ReadOutput, this, pipe_fds[0]);
}

ChildProcess::~ChildProcess() {
  if (!exited_) Stop(SIGKILL, std::chrono::seconds(10));
  if (reader_.joinable()) reader_.join();
}

void ChildProcess::ReadOutput(int fd) {
  char buffer[4096];
  ssize_t count;
  while ((count = read(fd, buffer, sizeof buffer)) > 0) {
    std::lock_guard lock(mutex_);
    output_.append(buffer, static_cast<std::size_t>(count));
  }
  close(fd);
  std::lock_guard lock(mutex_);
  output_closed_ = true;
}

std::string ChildProcess::WaitForLine(const std::string& text, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    {
      std::lock_guard lock(mutex_);
      const auto at = output_.find(text);
      if (at != std::string::npos) {
        const auto start = output_.rfind('\n', at);
        const auto begin = start == std::string::npos ? 0 : start + 1;
        const auto end = output_.find('\n', at);
        if (end != std::string::npos) return output_.substr(begin, end - begin);
      }
      if (output_closed_) return {};
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return {};
}

std::string ChildProcess::Output() const {
  std::lock_guard lock(mutex_);
  return output_;
}

int ChildProcess::Stop(int signal, std::chrono::milliseconds timeout) {
  if (exited_) return exit_code_;
  kill(pid_, signal);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (true) {
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      if (signal == SIGKILL) return -1;
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      exited_ = true;
      exit_code_ = -1;
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  exited_ = true;
  exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  // All output is in once the pipe is drained.
  if (reader_.joinable()) reader_.join();
  return exit_code_;
}
