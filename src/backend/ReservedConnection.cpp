#include "backend/ReservedConnection.h"

#include "diag/TraceLog.h"

namespace {

thread_local ReservedConnection* current_reservation = nullptr;

}  // namespace

ReservedConnection::ReservedConnection(const void* pool, Connection connection)
    : pool_(pool), connection_(std::move(connection)), outer_(current_reservation) {
  current_reservation = this;
}

ReservedConnection::~ReservedConnection() {
  current_reservation = outer_;
  if (connection_ && !connection_.Release()) {
    diag::TraceLine("BackendClient: a connection was refused by its own pool\n");
  }
}

std::optional<ReservedConnection::Connection> ReservedConnection::Take(const void* pool) {
  ReservedConnection* reserved = current_reservation;
  if (reserved == nullptr || reserved->pool_ != pool || reserved->taken_) return std::nullopt;
  reserved->taken_ = true;
  return std::move(reserved->connection_);
}
