#include "host/HostOptions.h"

#include <arpa/inet.h>

#include "host/DescriptorLimits.h"

#include <gtest/gtest.h>

namespace {

using host::ParseHostOptions;

TEST(HostOptionsTest, ReadsEveryOption) {
  const auto parsed = ParseHostOptions({"--module", "m.so", "--listen", "127.0.0.1:0", "--app", "chat",
                                        "--threads", "3", "--max-connections", "10",
                                        "--max-connections-per-address", "2", "--head-timeout", "4",
                                        "--max-header-bytes", "4096", "--max-body-bytes", "0",
                                        "--idle-timeout", "5", "--pending-timeout", "7",
                                        "--shutdown-grace", "0", "--no-access-log", "--access-log", "a.log",
                                        "--access-log-values", "--trusted-proxy", "127.0.0.1,127.0.0.3",
                                        "--heartbeat-from", "127.0.0.9", "--metrics", "127.0.0.2:0"});
  ASSERT_TRUE(parsed.options) << parsed.message;
  const auto& o = *parsed.options;
  EXPECT_EQ(o.module_path, "m.so");
  EXPECT_EQ(o.listen_port, 0);
  EXPECT_EQ(o.app, "chat");
  EXPECT_EQ(o.threads, 3u);
  EXPECT_EQ(o.max_connections, 10u);
  EXPECT_EQ(o.max_connections_per_address, 2u);
  EXPECT_EQ(o.head_timeout_s, 4u);
  EXPECT_EQ(o.max_header_bytes, 4096u);
  EXPECT_EQ(o.max_body_bytes, 0u);
  EXPECT_EQ(o.idle_timeout_s, 5u);
  EXPECT_EQ(o.pending_timeout_s, 7u);
  EXPECT_EQ(o.shutdown_grace_s, 0u);
  EXPECT_FALSE(o.access_log);
  EXPECT_EQ(o.access_log_path, "a.log");
  EXPECT_TRUE(o.access_log_values);
  EXPECT_EQ(o.trusted_proxies, (std::vector<std::uint32_t>{htonl(0x7f000001), htonl(0x7f000003)}));
  EXPECT_EQ(o.heartbeat_from, (std::vector<std::uint32_t>{htonl(0x7f000009)}));
  EXPECT_EQ(o.metrics_address, "127.0.0.2");
  EXPECT_EQ(o.metrics_port, 0);
  EXPECT_TRUE(ParseHostOptions({"--module", "m.so"}).options->metrics_address.empty());
}

TEST(HostOptionsTest, ProblemsAreOneLineAndNameTheOption) {
  struct Case {
    std::vector<std::string> arguments;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {{}, "--module PATH is required"},
      {{"--bogus"}, "unknown option --bogus"},
      {{"--module"}, "option --module needs a value"},
      {{"--module", "m", "--listen", "nowhere"}, "bad value 'nowhere' for --listen"},
      {{"--module", "m", "--listen", "127.0.0.1:70000"}, "for --listen"},
      {{"--module", "m", "--threads", "0"}, "for --threads"},
      {{"--module", "m", "--app", "a/b"}, "for --app"},
      {{"--module", "m", "--idle-timeout", "5s"}, "for --idle-timeout"},
      {{"--module", "m", "--head-timeout", "0"}, "for --head-timeout"},
      {{"--module", "m", "--trusted-proxy", "127.0.0.1,"}, "for --trusted-proxy"},
      {{"--module", "m", "--heartbeat-from", "monitor.example"}, "for --heartbeat-from"},
      {{"--module", "m", "--access-log", ""}, "for --access-log"},
      {{"--module", "m", "--metrics", "9100"}, "for --metrics"},
  };
  for (const auto& c : cases) {
    const auto parsed = ParseHostOptions(c.arguments);
    EXPECT_FALSE(parsed.options);
    EXPECT_NE(parsed.exit_code, 0);
    EXPECT_NE(parsed.message.find(c.expected), std::string::npos) << parsed.message;
    EXPECT_EQ(parsed.message.find('\n'), std::string::npos) << parsed.message;
  }
  const auto help = ParseHostOptions({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.message.find("--pending-timeout"), std::string::npos);
}

TEST(DescriptorLimitsTest, ConnectionsLeaveAReserveBelowTheDescriptorLimit) {
  struct Row {
    unsigned requested;
    unsigned long descriptors;
    unsigned expected;
    bool lowered;
  };
  const Row rows[] = {
      {0, 256, 192, false},        {0, 1024, 768, false},     {0, 20000, 19488, false},
      {0, 1UL << 30, 1u << 20, false}, {100, 256, 100, false}, {1000, 256, 192, true},
      {0, 16, 1, false},
  };
  for (const auto& row : rows) {
    std::string note;
    EXPECT_EQ(host::EffectiveConnectionLimit(row.requested, row.descriptors, note), row.expected)
        << row.requested << " within " << row.descriptors;
    EXPECT_EQ(!note.empty(), row.lowered) << note;
  }
}

}  // namespace
