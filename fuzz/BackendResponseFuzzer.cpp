// What the back end sends back, read the way the module reads it: a response
// taken off a connection (header bytes, then the length they announce), its
// fields read the lenient way the handlers do, and the whole message read
// strictly. The connection is a stand-in serving the input's bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "backend/BackendClient.h"
#include "backend/Message.h"
#include "protocol/Message.h"

namespace {

// Hands out the input as a peer that sent it all and then closed.
class InputSocket : public TRSocket {
 public:
  explicit InputSocket(std::string_view bytes) : rest_(bytes) {}

  int Receive(char* buffer, std::size_t length, std::size_t& received, bool& timed_out, int, int,
              bool) override {
    received = std::min(length, rest_.size());
    std::memcpy(buffer, rest_.data(), received);
    rest_.remove_prefix(received);
    timed_out = false;
    return 0;
  }
  int Flush(std::size_t& discarded) override {
    discarded = rest_.size();
    rest_ = {};
    return 0;
  }
  int Close() override { return 0; }

 private:
  std::string_view rest_;
};

BackendClient& Client() {
  static BackendClient client(std::string(protocol::kVersion), 1);
  return client;
}

void CheckReading(std::string_view bytes) {
  InputSocket connection(bytes);
  std::string response = "stale";
  std::string error;
  if (Client().ReadResponse(connection, response, error)) {
    const auto header = protocol::ReadHeader(response);
    FUZZ_REQUIRE(header.length == static_cast<long long>(response.size()),
                 "a response was taken at another length than its header says");
    FUZZ_REQUIRE(std::string_view(bytes).starts_with(response), "a response is not what the peer sent");
  } else {
    FUZZ_REQUIRE(!error.empty(), "a failed read gave no error");
  }
}

// The lenient field reader must agree with the strict one wherever the
// strict one accepts the message; elsewhere it must only stay inside it.
void CheckFields(std::string_view message) {
  protocol::ParsedMessage parsed;
  const bool strict = protocol::ParseMessage(message, parsed);
  const auto header = protocol::ReadHeader(message);
  const std::size_t fields = static_cast<std::size_t>(std::clamp(header.fieldCount, 0, 64));
  for (std::size_t index = 0; index <= fields; ++index) {
    std::string value = "stale";
    ExtractParmFromVEKACSMessage(message, static_cast<int>(index), value);
    FUZZ_REQUIRE(value.size() <= message.size(), "a field is longer than its message");
    if (strict && index < parsed.fields.size()) {
      FUZZ_REQUIRE(value == parsed.fields[index], "lenient and strict readers disagree on a field");
    }
  }
  if (!strict) return;
  FUZZ_REQUIRE(parsed.fields.size() == static_cast<std::size_t>(parsed.header.fieldCount),
               "a message parsed to another number of fields than it declares");
  // What was read can be written again and reads back the same.
  const std::string again =
      protocol::EncodeMessage(protocol::kVersion, parsed.header.id, parsed.header.type, parsed.fields);
  protocol::ParsedMessage reread;
  FUZZ_REQUIRE(protocol::ParseMessage(again, reread), "a parsed message does not parse once written again");
  FUZZ_REQUIRE(reread.fields == parsed.fields && reread.header.id == parsed.header.id &&
                   reread.header.type == parsed.header.type,
               "a message written again reads back differently");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  CheckReading(bytes);
  CheckFields(bytes);
  return 0;
}
