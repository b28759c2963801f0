// The module and the simulator must agree on every byte: the module's
// requests are read with the simulator's strict parser, and what the
// simulator encodes is read with the module's field reader, long fields
// included.
#include <gtest/gtest.h>

#include "backend/Message.h"
#include "protocol/Codes.h"
#include "protocol/Message.h"
#include "protocol/PasswordScrambling.h"
#include "support/ExtensionFixture.h"

namespace {

using SharedWireTest = ExtensionFixture<>;

struct Exchange {
  int type;
  std::vector<std::string> request;   // the caller's fields
  std::size_t longRequestField;       // npos: none
  std::vector<std::string> response;  // what the back end answers, field 0 first
};

TEST_F(SharedWireTest, RequestsAndResponsesSurviveTheTripBothWays) {
  auto& extension = Start("[VEKASETTINGS]\nPassword=s3cret\n");
  const std::string big(10000, 'x');  // too long for a 4-digit prefix
  const std::size_t none = std::string::npos;
  const std::vector<Exchange> exchanges = {
      {20, {"1", "Ann <b>", "", "sales", "en", "web", "k=v", "unit"}, none, {"0", "S-1"}},
      {40, {"S-1", big}, 1, {"0"}},
      {50, {"S-1", "3"}, none, {"0", big, "", "A7", "4", "Bob"}},
      {70, {"S-1"}, none, {"0", "S-1", "Ann", "topic", big}},
      {100, {"unit", "en"}, none, {"0", big}},
      {1000, {"web01", "chat", "80"}, none, {"0"}},
      {310, {"S-1", ""}, none, {"3010"}},
  };
  for (const auto& exchange : exchanges) {
    SCOPED_TRACE(exchange.type);
    MessageBody body;
    for (std::size_t i = 0; i < exchange.request.size(); ++i) {
      if (i == exchange.longRequestField) AppendLongMessageField(body, exchange.request[i]);
      else AppendMessageField(body, exchange.request[i]);
    }
    std::string request;
    std::uint32_t id = 0;
    ASSERT_TRUE(extension.BuildVEKACSMessage(request, exchange.type, static_cast<int>(exchange.request.size()),
                                             body, id));
    protocol::ParsedMessage parsed;
    ASSERT_TRUE(protocol::ParseMessage(request, parsed));
    EXPECT_EQ(parsed.version, protocol::kVersion);
    EXPECT_EQ(parsed.header.id, id);
    EXPECT_EQ(parsed.header.type, exchange.type);
    auto expected = exchange.request;
    expected.push_back(ScramblePassword("s3cret"));
    EXPECT_EQ(parsed.fields, expected);

    const std::string response =
        protocol::EncodeMessage(protocol::kVersion, id, exchange.type + 1, exchange.response);
    for (std::size_t i = 0; i <= exchange.response.size(); ++i) {
      std::string field = "stale";
      ExtractParmFromVEKACSMessage(response, static_cast<int>(i), field);
      EXPECT_EQ(field, i < exchange.response.size() ? exchange.response[i] : "") << "field " << i;
    }
  }
}

TEST(SharedWireFormatTest, WorkedExamplesAndMalformedMessages) {
  protocol::ParsedMessage parsed;
  ASSERT_TRUE(protocol::ParseMessage("10.04.00.0009000000645F5E1001100000040005web010004chat0002800000", parsed));
  EXPECT_EQ(parsed.header.id, 0x5F5E1001u);
  EXPECT_EQ(parsed.fields, (std::vector<std::string>{"web01", "chat", "80", ""}));
  EXPECT_EQ(protocol::EncodeMessage(protocol::kVersion, 0x5F5E1001u, 131, {"0", "41"}),
            "10.04.00.0009000000485F5E10010131000200010000241");
  for (const char* bad : {"10.04.00.0009000000655F5E1001100000040005web010004chat0002800000",  // length disagrees
                          "10.04.00.0009000000645F5E1001100000040005web010004chat000280000x",  // prefix not digits
                          "10.04.00.0009000000415F5E10011000000500000000",                     // fields run out
                          "10.04.00.00090000004", ""}) {
    EXPECT_FALSE(protocol::ParseMessage(bad, parsed)) << bad;
  }
}

}  // namespace
