// Exchanges with vekacs-sim over the real pool, including its faults.
#include <gtest/gtest.h>

#include <thread>

#include "backend/Message.h"
#include "support/ExtensionFixture.h"
#include "support/SimProcess.h"
#include "support/WaitUntil.h"

namespace {

class ExchangeTest : public SimExtensionFixture<> {
 protected:
  CRAVOExtension& StartWithSim(int min_sockets = 2, int max_sockets = 10, const std::string& extra = {}) {
    return Start(sim_.IniSettings(min_sockets, max_sockets) + "DebugOutput=1\n" + extra);
  }
  // A heartbeat request; true when the exchange succeeded. reply gets the
  // response or the error text.
  bool Exchange(std::string& reply) {
    MessageBody body;
    AppendMessageField(body, "web01");
    AppendMessageField(body, "chat");
    AppendMessageField(body, "80");
    std::string message;
    std::uint32_t id = 0;
    EXPECT_TRUE(extension_->BuildVEKACSMessage(message, 1000, 3, body, id));
    return extension_->CommunicateWithVEKACS(message, reply, reply, nullptr, false);
  }
  static std::string Code(const std::string& response) {
    std::string code;
    ExtractParmFromVEKACSMessage(response, 0, code);
    return code;
  }
  std::string Trace() {
    Stop();
    return dir_.Read("debug.txt");
  }
  PoolStatisticsBlock Stats() {
    PoolStatisticsBlock block;
    extension_->CopyPoolStatistics(false, &block);
    return block;
  }
};

TEST_F(ExchangeTest, RequestReachesTheBackEndAndTheConnectionIsKept) {
  StartWithSim();
  std::string reply;
  ASSERT_TRUE(Exchange(reply)) << reply;
  EXPECT_EQ(Code(reply), "0");
  ASSERT_TRUE(Exchange(reply)) << reply;
  EXPECT_EQ(sim_.ControlLines("heartbeats"), (std::vector<std::string>{"web01|chat|80", "web01|chat|80"}));
  const auto log = sim_.ControlLines("log");
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].substr(0, log[0].find(' ')), log[1].substr(0, log[1].find(' '))) << "same connection reused";
  const auto stats = Stats();
  EXPECT_EQ(stats.retrieved, 2);
  EXPECT_EQ(stats.returned, 2);
}

TEST_F(ExchangeTest, WrongPasswordIsAnsweredWithTheBackEndsCode) {
  std::string ini = sim_.IniSettings();
  ini.replace(ini.find("Password=demo-secret"), 20, "Password=wrong");
  Start(ini);
  std::string reply;
  ASSERT_TRUE(Exchange(reply));
  EXPECT_EQ(Code(reply), "3001");
}

TEST_F(ExchangeTest, AClosedConnectionIsReplacedAndTheRequestStillGoesThrough) {
  StartWithSim(1, 10);
  ASSERT_TRUE(sim_.WaitForConnections(1));
  EXPECT_EQ(sim_.Control("close-idle"), "closed=1\n");
  ASSERT_TRUE(WaitUntil([&] { return sim_.OpenConnections() == 0; })) << "the back end has closed its side";
  std::string reply;
  ASSERT_TRUE(Exchange(reply)) << reply;
  EXPECT_EQ(Code(reply), "0");
  EXPECT_EQ(Stats().returnedBroken, 1);
  const auto trace = Trace();
  EXPECT_NE(trace.find("is CLOSED...trying to get another one."), std::string::npos);
  EXPECT_NE(trace.find("bGetFromBack=1"), std::string::npos) << "the second try takes the oldest";
}

TEST_F(ExchangeTest, ABackEndThatClosedItsIdleConnectionsCostsNoRequestAnError) {
  struct Case {
    int sockets;
    int requests;  // at once
  };
  std::int64_t stale_total = 0;
  for (const Case c : {Case{3, 1}, Case{10, 1}, Case{10, 4}}) {
    SCOPED_TRACE(std::to_string(c.sockets) + " sockets, " + std::to_string(c.requests) + " requests");
    StartWithSim(c.sockets, c.sockets);
    ASSERT_TRUE(WaitUntil([&] { return sim_.OpenConnections() == c.sockets; }));
    EXPECT_EQ(sim_.Control("close-idle"), "closed=" + std::to_string(c.sockets) + "\n");
    ASSERT_TRUE(WaitUntil([&] { return sim_.OpenConnections() == 0; })) << "the back end has closed its side";
    std::vector<std::string> replies(static_cast<std::size_t>(c.requests));
    std::vector<char> done(replies.size());
    {
      std::vector<std::jthread> visitors;
      for (std::size_t i = 0; i < replies.size(); ++i) {
        visitors.emplace_back([&, i] { done[i] = Exchange(replies[i]); });
      }
    }
    for (std::size_t i = 0; i < replies.size(); ++i) {
      EXPECT_TRUE(done[i]) << replies[i];
      EXPECT_EQ(Code(replies[i]), "0");
    }
    const auto stats = Stats();
    // Requests that overlap may leave some closed ones for later; one alone
    // drains them all, oldest first, before it takes a fresh one.
    if (c.requests == 1) {
      EXPECT_EQ(stats.returnedBroken, c.sockets);
    }
    EXPECT_LE(stats.returnedBroken, c.sockets);
    EXPECT_EQ(stats.returned, c.requests);
    EXPECT_EQ(stats.retrieved, stats.returned + stats.returnedBroken) << "every closed one counted";
    stale_total += stats.returnedBroken;
    const auto trace = Trace();
    std::int64_t skipped = 0;
    for (auto at = trace.find("is CLOSED...trying to get another one."); at != std::string::npos;
         at = trace.find("is CLOSED...trying to get another one.", at + 1)) {
      ++skipped;
    }
    EXPECT_EQ(skipped, stale_total) << "one trace line for each";
    ASSERT_TRUE(WaitUntil([&] { return sim_.OpenConnections() == 0; }));
  }
}

TEST_F(ExchangeTest, NoBackEndGives1002) {
  Start("[VEKASETTINGS]\nAddress=127.0.0.1\nPort=1\nMinSockets=1\nMaxSockets=1\n");
  std::thread([] {}).join();
  // The pool retries for ten seconds before it gives up.
  std::string reply;
  EXPECT_FALSE(Exchange(reply));
  EXPECT_EQ(reply, "1002");
}

TEST_F(ExchangeTest, ProtocolFaultsBecomeErrorTexts) {
  StartWithSim();
  struct Case {
    std::string fault;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"close", "0 bytes received - Socket closed - Protocol Error!"},
      {"badlength", "Message length mismatch - Response Error!"},
      {"length 29", "0 bytes received - Socket closed - Protocol Error!"},
      {"length 28", "Protocol Error!"},
      {"length 500001", "Protocol Error!"},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(sim_.Control("fault " + c.fault), "") << c.fault;
    std::string reply;
    EXPECT_FALSE(Exchange(reply)) << c.fault;
    EXPECT_EQ(reply, c.error) << c.fault;
    std::string again;
    EXPECT_TRUE(Exchange(again)) << "the broken connection was replaced after " << c.fault;
  }
  EXPECT_EQ(Stats().returnedBroken, static_cast<std::int64_t>(cases.size()));
}

TEST_F(ExchangeTest, LargestResponseIsReadAndExtraBytesAreDrained) {
  StartWithSim();
  ASSERT_EQ(sim_.Control("fault length 500000"), "");
  std::string reply;
  ASSERT_TRUE(Exchange(reply)) << reply.substr(0, 80);
  EXPECT_EQ(reply.size(), 500000u);
  EXPECT_EQ(Code(reply), "0");
  // A tail that fits in the room the header's receive has, and one that
  // does not: either way all of it is drained and counted.
  const int extras[] = {250, 5000};
  for (const int extra : extras) {
    ASSERT_EQ(sim_.Control("fault extra " + std::to_string(extra)), "");
    ASSERT_TRUE(Exchange(reply)) << reply;
    ASSERT_TRUE(Exchange(reply)) << "the next exchange on the same connection is clean after " << extra;
  }
  const std::string trace = Trace();
  for (const int extra : extras) {
    EXPECT_NE(trace.find("GetVEKACSResponse: Flushed " + std::to_string(extra) + " bytes from socket"),
              std::string::npos);
  }
}

TEST_F(ExchangeTest, SlowAnswerIsWaitedFor) {
  StartWithSim();
  ASSERT_EQ(sim_.Control("fault delay 1500"), "");
  std::string reply;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(Exchange(reply)) << reply;
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1400));
  EXPECT_NE(Trace().find("CRAVOExtension::GetVEKACSResponse: Exiting successfully, taking"), std::string::npos);
}

}  // namespace
