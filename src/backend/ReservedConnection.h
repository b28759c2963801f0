// A connection readied for the module call running on this thread, by a
// borrower that may not wait in the pool (a request on the host's event
// loop gets its connection first and only then runs): the call's first
// borrow from that pool takes it instead of waiting. An empty one says the
// pool had none within its time limit, so that borrow fails at once. The
// trace lines of the borrow go out with it, where the call borrows; a
// connection the call never borrowed leaves no line, as if never taken.
#pragma once

#include <optional>
#include <string>

#include "generic/PoolInterfaces.h"
#include "net/TRSocket.h"

class ReservedConnection {
 public:
  using Connection = Generic::Lease<TRSocket>;

  // Lasts for the scope; what the call did not take goes back as sound.
  // seen_open: the borrower has just found the connection open (a poll and
  // maybe a peek), which the call need not repeat microseconds later.
  ReservedConnection(const void* pool, Connection connection, std::string held = {}, bool seen_open = false);
  ~ReservedConnection();
  ReservedConnection(const ReservedConnection&) = delete;
  ReservedConnection& operator=(const ReservedConnection&) = delete;

  // The connection reserved for pool on this thread, once, its borrow's
  // trace lines written; empty optional when there is none to take.
  // seen_open tells whether its borrower found it open.
  static std::optional<Connection> Take(const void* pool, bool& seen_open);

 private:
  const void* pool_;
  Connection connection_;
  std::string held_;
  const bool seen_open_;
  bool taken_ = false;
  ReservedConnection* outer_;  // a call within a call keeps its own
};
