#include "backend/ReservedConnection.h"

#include "diag/TraceLog.h"

namespace {

thread_local ReservedConnection* current_reservation = nullptr;

}  // namespace

ReservedConnection::ReservedConnection(const void* pool, Connection connection, std::string held, bool seen_open)
    : pool_(pool),
      connection_(std::move(connection)),
      held_(std::move(held)),
      seen_open_(seen_open),
      outer_(current_reservation) {
  current_reservation = this;
}

ReservedConnection::~ReservedConnection() {
  current_reservation = outer_;
  if (!connection_) return;
  bool taken_back = false;
  {
    std::string unseen;
    const diag::TraceHold hold(unseen);
    taken_back = connection_.Release();
  }
  if (!taken_back) diag::TraceLine("BackendClient: a connection was refused by its own pool\n");
}

std::optional<ReservedConnection::Connection> ReservedConnection::Take(const void* pool, bool& seen_open) {
  seen_open = false;
  ReservedConnection* reserved = current_reservation;
  if (reserved == nullptr || reserved->pool_ != pool || reserved->taken_) return std::nullopt;
  reserved->taken_ = true;
  seen_open = reserved->seen_open_;
  diag::WriteHeld(reserved->held_);
  std::string().swap(reserved->held_);
  return std::move(reserved->connection_);
}
