#include "backend/Message.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "protocol/PasswordScrambling.h"
#include "support/ExtensionFixture.h"

namespace {

using MessageTest = ExtensionFixture<>;

TEST_F(MessageTest, HeartbeatRequestMatchesTheWorkedExampleByteForByte) {
  auto& extension = Start();
  MessageBody body;
  AppendMessageField(body, "web01");
  AppendMessageField(body, "chat");
  AppendMessageField(body, "80");
  EXPECT_EQ(body.bytes, "0005web010004chat000280");
  extension.SetRequestIdCounter(0x5F5E1000u);
  std::string message;
  std::uint32_t id = 0;
  ASSERT_TRUE(extension.BuildVEKACSMessage(message, 1000, 3, body, id));
  EXPECT_EQ(id, 0x5F5E1001u);
  EXPECT_EQ(message, "10.04.00.0009000000645F5E1001100000040005web010004chat0002800000");
}

TEST_F(MessageTest, EmptyBodyCarriesOnlyThePasswordField) {
  auto& extension = Start();
  std::string message;
  std::uint32_t id = 0;
  ASSERT_TRUE(extension.BuildVEKACSMessage(message, 10, 0, MessageBody{}, id));
  EXPECT_EQ(message.size(), 41u);
  EXPECT_EQ(message.substr(33), "00010000");
}

TEST_F(MessageTest, PasswordGoesScrambledAsTheLastField) {
  auto& extension = Start("[VEKASETTINGS]\nPassword=abc\n");
  std::string message;
  std::uint32_t id = 0;
  ASSERT_TRUE(extension.BuildVEKACSMessage(message, 20, 0, MessageBody{}, id));
  EXPECT_EQ(message.substr(37), "0003" + ScramblePassword("abc"));
}

TEST_F(MessageTest, TypesOutsideTheRangeAndOverlongFieldsAreRefused) {
  auto& extension = Start();
  std::string message = "untouched";
  std::uint32_t id = 7;
  EXPECT_FALSE(extension.BuildVEKACSMessage(message, 9, 0, MessageBody{}, id));
  EXPECT_FALSE(extension.BuildVEKACSMessage(message, 1012, 0, MessageBody{}, id));
  EXPECT_EQ(message, "untouched");
  EXPECT_EQ(id, 7u);
  EXPECT_TRUE(extension.BuildVEKACSMessage(message, 1011, 0, MessageBody{}, id));

  MessageBody too_long;
  AppendMessageField(too_long, std::string(10000, 'x'));
  EXPECT_TRUE(too_long.overflow);
  EXPECT_FALSE(extension.BuildVEKACSMessage(message, 40, 1, too_long, id));
  MessageBody long_field;
  AppendMessageField(long_field, std::string(9999, 'x'));
  AppendLongMessageField(long_field, std::string(10000, 'y'));
  EXPECT_FALSE(long_field.overflow);
  EXPECT_EQ(long_field.bytes.substr(9999 + 4, 8), "00010000");
  EXPECT_TRUE(extension.BuildVEKACSMessage(message, 40, 2, long_field, id));
}

TEST_F(MessageTest, ConcurrentRequestsGetDistinctIdsFollowingTheStartTime) {
  const auto before = static_cast<std::uint32_t>(std::time(nullptr));
  auto& extension = Start();
  std::string message;
  std::uint32_t first = 0;
  ASSERT_TRUE(extension.BuildVEKACSMessage(message, 20, 0, MessageBody{}, first));
  EXPECT_GE(first, before + 1);
  std::vector<std::uint32_t> ids(800);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      std::string own;
      for (int i = 0; i < 100; ++i) ASSERT_TRUE(extension.BuildVEKACSMessage(own, 20, 0, MessageBody{}, ids[t * 100 + i]));
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(std::set<std::uint32_t>(ids.begin(), ids.end()).size(), ids.size());
}

TEST(ExtractParmTest, ResponseWorkedExample) {
  const std::string response = "10.04.00.0009000000485F5E10010131000200010000241";
  ASSERT_EQ(response.size(), 48u);
  std::string value = "stale";
  ExtractParmFromVEKACSMessage(response, 0, value);
  EXPECT_EQ(value, "0");
  ExtractParmFromVEKACSMessage(response, 1, value);
  EXPECT_EQ(value, "41");
  ExtractParmFromVEKACSMessage(response, 2, value);
  EXPECT_EQ(value, "");
}

std::string Header(int type, int count) {
  char header[38];
  std::snprintf(header, sizeof header, "10.04.00.0009%08d%08X%04d%04d", 0, 0u, type, count);
  return header;
}

TEST(ExtractParmTest, OnlyTheResponseTypeSelectsLongFields) {
  // Field 1 with an 8-digit prefix, then field 2.
  const std::string fields = "00010" "00000005hello" "0002ok";
  const std::string as51 = Header(51, 3) + fields;
  std::string value;
  ExtractParmFromVEKACSMessage(as51, 1, value);
  EXPECT_EQ(value, "hello");
  ExtractParmFromVEKACSMessage(as51, 2, value);
  EXPECT_EQ(value, "ok");
  const std::string as50 = Header(50, 3) + fields;
  ExtractParmFromVEKACSMessage(as50, 1, value);
  EXPECT_EQ(value, "") << "read with a 4-digit prefix: length 0000";
  for (const int type : {71, 101}) {
    const int long_index = type == 71 ? 4 : 1;
    std::string message = Header(type, 5);
    for (int i = 0; i < 5; ++i) message += i == long_index ? "00000003abc" : "0001" + std::to_string(i);
    ExtractParmFromVEKACSMessage(message, long_index, value);
    EXPECT_EQ(value, "abc") << type;
  }
}

TEST(ExtractParmTest, TruncatedOrShortMessagesNeverFail) {
  std::string value = "stale";
  ExtractParmFromVEKACSMessage("", 0, value);
  EXPECT_EQ(value, "");
  ExtractParmFromVEKACSMessage(Header(131, 3) + "00010", 0, value);
  EXPECT_EQ(value, "0");
  ExtractParmFromVEKACSMessage(Header(131, 3) + "00010", 2, value);
  EXPECT_EQ(value, "") << "the third field is missing";
  ExtractParmFromVEKACSMessage(Header(131, 3) + "00999", 0, value);
  EXPECT_EQ(value, "9") << "fewer bytes than the prefix announces";
  ExtractParmFromVEKACSMessage(Header(131, 3) + "00010000100001x", 3, value);
  EXPECT_EQ(value, "") << "index equal to the count";
}

}  // namespace
