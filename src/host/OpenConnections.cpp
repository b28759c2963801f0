#include "host/OpenConnections.h"

#include <sys/socket.h>

#include <algorithm>
#include <vector>

namespace host {

class OpenConnections::Slot {
 public:
  Slot(int socket, std::uint32_t peer, Clock::time_point now)
      : fd(socket), address(peer), admitted(now), head_since(now.time_since_epoch().count()) {}

  const int fd;
  const std::uint32_t address;
  const Clock::time_point admitted;
  bool started = false;  // guarded by the table's mutex
  bool cut = false;      // shut down by the host; guarded by the table's mutex
  // The peer closed its side; set by the acceptor, read by sweeps and by the
  // connection's library thread.
  std::atomic<bool> peer_closed{false};
  // When the wait for the next request head began; 0 while a request is
  // under way. Written by the connection's library thread, read by sweeps.
  std::atomic<Clock::rep> head_since;
  // The target of the request whose head is arriving; only the
  // connection's library thread touches it.
  std::string target;
};

OpenConnections::~OpenConnections() {
  for (const auto& [fd, slot] : by_fd_) delete slot;
}

OpenConnections::Verdict OpenConnections::Admit(int fd, const sockaddr_in& peer) {
  const std::uint32_t address = peer.sin_addr.s_addr;
  std::lock_guard lock(mutex_);
  // A slot still under this descriptor belongs to a socket the library
  // closed without taking it: the number was reused.
  ForgetLocked(fd);
  if (by_fd_.size() >= limits_.max_connections) return Verdict::kFull;
  unsigned& from_address = by_address_[address];
  const bool capped = limits_.max_per_address != 0 &&
                      std::find(limits_.uncapped.begin(), limits_.uncapped.end(), address) == limits_.uncapped.end();
  if (capped && from_address >= limits_.max_per_address) {
    if (from_address == 0) by_address_.erase(address);
    return Verdict::kAddressFull;
  }
  ++from_address;
  by_fd_.emplace(fd, new Slot(fd, address, Clock::now()));
  return Verdict::kAdmitted;
}

void OpenConnections::NotTaken(int fd) {
  std::lock_guard lock(mutex_);
  ForgetLocked(fd);
}

void OpenConnections::ForgetLocked(int fd) {
  const auto found = by_fd_.find(fd);
  if (found == by_fd_.end() || found->second->started) return;
  Slot* slot = found->second;
  by_fd_.erase(found);
  if (const auto count = by_address_.find(slot->address); count != by_address_.end() && --count->second == 0) {
    by_address_.erase(count);
  }
  delete slot;
}

OpenConnections::Slot* OpenConnections::Started(int fd) {
  std::lock_guard lock(mutex_);
  const auto found = by_fd_.find(fd);
  if (found == by_fd_.end()) return nullptr;
  Slot& slot = *found->second;
  slot.started = true;
  return &slot;
}

void OpenConnections::Closed(Slot* slot) {
  if (slot == nullptr) return;
  std::lock_guard lock(mutex_);
  // The library closes the socket only after this returns, so the descriptor
  // cannot have been reused yet: the entry is this slot's.
  by_fd_.erase(slot->fd);
  if (const auto count = by_address_.find(slot->address); count != by_address_.end() && --count->second == 0) {
    by_address_.erase(count);
  }
  delete slot;
}

void OpenConnections::HeadArrived(Slot* slot) {
  if (slot != nullptr) slot->head_since.store(0, std::memory_order_relaxed);
}

void OpenConnections::KeepTarget(Slot* slot, const char* target) {
  if (slot != nullptr) slot->target = target != nullptr ? target : "";
}

std::string OpenConnections::TakeTarget(Slot* slot) { return slot != nullptr ? std::move(slot->target) : std::string(); }

void OpenConnections::AnswerCompleted(Slot* slot) {
  if (slot == nullptr) return;
  slot->head_since.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
  // The end of the stream came while the request was answered, and the
  // library, waiting for news on the socket, would not see it: wake it now.
  // Safe without the lock: on the connection's own thread the descriptor
  // is still the connection's.
  if (slot->peer_closed.load(std::memory_order_relaxed)) shutdown(slot->fd, SHUT_RD);
}

void OpenConnections::Sweep() {
  const auto now = Clock::now();
  const auto timeout = std::chrono::duration_cast<Clock::duration>(limits_.head_timeout).count();
  std::vector<int> never_taken;
  std::lock_guard lock(mutex_);
  for (const auto& [fd, slot] : by_fd_) {
    if (!slot->started) {
      if (now - slot->admitted > limits_.head_timeout) never_taken.push_back(fd);
      continue;
    }
    const auto since = slot->head_since.load(std::memory_order_relaxed);
    if (since != 0 && now.time_since_epoch().count() - since > timeout) {
      CutLocked(*slot);
    } else if (slot->peer_closed.load(std::memory_order_relaxed)) {
      // Once more: a wake-up misses while the library does not watch the
      // socket (before it took it, while a body or an answer is under way).
      shutdown(fd, SHUT_RD);
    }
  }
  for (const int fd : never_taken) ForgetLocked(fd);
}

void OpenConnections::PeerClosed(int fd) {
  std::lock_guard lock(mutex_);
  const auto found = by_fd_.find(fd);
  if (found == by_fd_.end()) return;
  Slot& slot = *found->second;
  slot.peer_closed.store(true, std::memory_order_relaxed);
  // The library reads a socket until it would block and then waits for the
  // next event, so an end of stream that came with the last bytes of a head
  // goes unnoticed until the idle timeout. Shutting the socket for reading
  // wakes the library: it reads what is left, answers a complete request,
  // and finds the end. Under the lock, as the library closes the descriptor
  // only after reporting the connection closed.
  if (slot.started) shutdown(fd, SHUT_RD);
}

// Under the lock: the library closes the descriptor only after reporting the
// connection closed, which waits for this lock. The library, woken by the
// shutdown, finds the end of the stream and closes the connection itself.
void OpenConnections::CutLocked(Slot& slot) {
  if (slot.cut) return;
  shutdown(slot.fd, SHUT_RDWR);
  slot.cut = true;
}

unsigned OpenConnections::open() const {
  std::lock_guard lock(mutex_);
  return static_cast<unsigned>(by_fd_.size());
}

}  // namespace host
