// The voice browser's operations through quorvix-host, the module and
// vekacs-sim: what reaches the back end, what the voice browser reads out of
// the answer documents, and that every document it gets is valid VoiceXML.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <set>
#include <sstream>

#include "support/SimProcess.h"
#include "support/SiteTest.h"
#include "support/WaitUntil.h"
#include "vxml/VoiceBrowser.h"

namespace {

using namespace std::chrono_literals;

// Every variable of the answer document.
const std::vector<std::string> kAnswerVariables = {
    "returnCode",  "callID",        "callsInQ",    "agentID",     "agentWaitTime",     "description",
    "estimatedWait", "destination", "initialPriority", "originalANI", "originalDNIS", "uuid",
    "visits",      "internalANI",   "internalDNIS", "aniDNIS",    "transitNumber",     "averageWait",
    "oldestCallInQueue", "serviceLevel", "callbackID", "value",   "positionInQ",       "device",
    "agentStatus", "overallStatus", "serverState", "entries",     "businessUnitName"};

// Back-end values that would break a document inserted as they are, and a
// placeholder's name that the clearing would otherwise turn into "0".
const std::string kAwkward = "<WCVXMLDEVICE> a<b & 'c' \"d\" \\e";

class VoiceGatewayTest : public SiteTest {
 protected:
  // The diagnostics reports some tests read go out at once, not each minute.
  void PrepareSite() override {
    site_.Write("RAVO.ini", std::regex_replace(site_.Read("RAVO.ini"), std::regex("\nTIME_INTERVAL_SEC=\\d+"),
                                               "\nTIME_INTERVAL_SEC=0"));
  }
  void SetUp() override {
    SiteTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(sim_.Control("voice agent-free-every 0"), "");
    browser_ = std::make_unique<VoiceBrowser>(*host_);
  }
  void TearDown() override {
    if (browser_) {
      EXPECT_EQ(CheckVoiceDocuments(browser_->Documents()), "");
    }
    SiteTest::TearDown();
    if (revived_) {
      EXPECT_EQ(revived_->Stop(), 0);
    }
  }
  // The fields of the last request of type that reached the back end, as
  // the sim's log shows them ("a|b|c"), or "<none>".
  std::string SentFields(int type) const {
    const auto lines = sim_.ControlLines("log");
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
      if (it->find(" type=" + std::to_string(type) + " ") == std::string::npos) continue;
      return it->substr(it->find(" fields=") + 8);
    }
    return "<none>";
  }
  std::string Trace() const {
    std::ifstream in(site_.path() + "debug.txt");
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  std::string Register() {
    return browser_->Call("REQ_VXML_INITIALIZE", {{"varUniqueID", "u"}, {"varANI", "1"}, {"varDNIS", "2"}})["callID"];
  }
  void Enqueue(const std::string& call) {
    ASSERT_EQ(browser_->Call("REQ_VXML_ENQUEUE", {{"varCallID", call}, {"varQueueName", "Sales"}, {"varInitialPriority", "9"}})["returnCode"], "0");
  }
  std::string Position(const std::string& call) {
    return browser_->Call("REQ_VXML_QUERYCALLSTATUS", {{"varCallID", call}})["positionInQ"];
  }

  std::unique_ptr<VoiceBrowser> browser_;
  std::optional<SimProcess> revived_;  // the back end restarted on its port
};

struct OperationCase {
  std::string operation;
  int type;
  VoiceRequest request;  // "$CALL" stands for the call id INITIALIZE gave
  std::string sent;      // the fields as the back end got them
  std::map<std::string, std::string> answer;  // what the document says besides "0"
};

TEST_F(VoiceGatewayTest, EveryOperationSendsItsFieldsAndAnswersItsValues) {
  const std::string long_unit(40, 'U');
  const std::vector<OperationCase> cases = {
      {"REQ_VXML_INITIALIZE", 120, {{"varUniqueID", "u-1"}, {"varANI", "030 555"}, {"varDNIS", "0800"}},
       "u-1|030 555|0800", {{"callID", "1001"}}},
      {"REQ_VXML_SETCONTACTDATA", 160, {{"varCallID", "$CALL"}, {"varKey", "Order"}, {"varValue", kAwkward}},
       "1001|Order|" + kAwkward, {}},
      {"REQ_VXML_GETCONTACTDATA", 260, {{"varCallID", "$CALL"}, {"varKey", "Order"}}, "1001|Order",
       {{"value", kAwkward}}},
      {"REQ_VXML_SETBUSINESSUNIT", 290, {{"varCallID", "$CALL"}, {"varBusinessUnitName", long_unit}},
       "1001|" + long_unit, {}},
      {"REQ_VXML_GETBUSINESSUNIT", 300, {{"varCallID", "$CALL"}}, "1001", {{"businessUnitName", long_unit}}},
      {"REQ_VXML_SETDISPLAY", 230, {{"varCallID", "$CALL"}, {"varDisplayInfo", "Gold customer"}},
       "1001|Gold customer", {}},
      {"REQ_VXML_ENQUEUE", 130,
       {{"varCallID", "$CALL"}, {"varIVRHold", "1"}, {"varQueueName", "Support"}, {"varInitialPriority", "5"},
        {"varDescription", "Question"}, {"varAgentID", "A101"}, {"varAgentWaitTime", "30"}},
       "1001|1|Support|5|Question|A101|30", {{"estimatedWait", "60"}, {"callsInQ", "1"}}},
      {"REQ_VXML_QUERYCALLSTATUS", 270, {{"varCallID", "$CALL"}, {"varTimeOut", "20"}}, "1001|20",
       {{"positionInQ", "1"}}},
      {"REQ_VXML_QUERYROUTINGINFO", 150, {{"varCallID", "$CALL"}}, "1001",
       {{"destination", ""}, {"agentID", "A101"}, {"agentWaitTime", "30"}, {"description", "Question"},
        {"initialPriority", "5"}, {"estimatedWait", "60"}, {"callsInQ", "1"}}},
      {"REQ_VXML_QUERYQUEUESTATISTICS", 200, {{"varQueueName", "Support"}, {"varBusinessUnitName", "Retail"}},
       "Support|Retail",
       {{"callsInQ", "1"}, {"estimatedWait", "120"}, {"oldestCallInQueue", "*"}, {"serviceLevel", "100"}}},
      {"REQ_VXML_QUERYAGENTSTATUS", 240, {{"varAgentID", "A101"}, {"varDevice", "D1"}}, "A101|D1",
       {{"agentID", "A101"}, {"device", "D101"}, {"agentStatus", "Available"}}},
      {"REQ_VXML_CREATECALLBACK", 210,
       {{"varCallID", "$CALL"}, {"varQueueName", "Support"}, {"varDescription", "Later"},
        {"varTimeZoneOffset", "+60"}, {"varContactName", "Ann"}, {"varSchedule1", "9-12"}, {"varSchedule2", "14-16"},
        {"varSchedule3", ""}},
       "1001|Support|Later|+60|Ann|9-12|14-16|", {{"callbackID", "CB1"}}},
      {"REQ_VXML_DELETECALLBACK", 220, {{"varCallbackID", "CB1"}}, "CB1", {}},
      {"REQ_VXML_DEQUEUE", 250, {{"varCallID", "$CALL"}}, "1001", {}},
      {"REQ_VXML_QUERYSYSTEMSTATUS", 280, {{"varCallID", "ignored"}}, "1",
       {{"overallStatus", "OK"}, {"serverState", "Running"}, {"entries", "1"}}},
      {"REQ_VXML_GETTRANSITNUMBER", 180, {{"varCallID", "$CALL"}}, "1001", {{"transitNumber", "7001"}}},
      {"REQ_VXML_RELEASETRANSITNUMBER", 190, {{"varCallID", "$CALL"}}, "1001", {}},
      {"REQ_VXML_TERMINATE", 170, {{"varCallID", "$CALL"}, {"varTermType", "2"}}, "1001|2", {}},
  };
  std::set<int> types;
  std::string call;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.operation);
    types.insert(c.type);
    VoiceRequest request = c.request;
    for (auto& [name, value] : request) {
      if (value == "$CALL") value = call;
    }
    const VoiceAnswer answer = browser_->Call(c.operation, request);
    if (c.type == 120) call = answer.at("callID");
    EXPECT_EQ(SentFields(c.type), c.sent);
    ASSERT_EQ(answer.size(), kAnswerVariables.size()) << "every variable reads as a string";
    EXPECT_EQ(answer.at("returnCode"), "0");
    for (const auto& name : kAnswerVariables) {
      if (name == "returnCode") continue;
      const auto expected = c.answer.find(name);
      if (expected == c.answer.end()) {
        EXPECT_EQ(answer.at(name), "0") << name;
      } else if (expected->second == "*") {
        EXPECT_TRUE(std::regex_match(answer.at(name), std::regex("[0-9]+"))) << name << "=" << answer.at(name);
      } else {
        EXPECT_EQ(answer.at(name), expected->second) << name;
      }
    }
  }
  EXPECT_EQ(types.size(), 18u);
}

TEST_F(VoiceGatewayTest, FailuresAnswerWithTheirReturnCodeAndZeroEverywhereElse) {
  struct Case {
    std::string what, fault, operation;
    VoiceRequest request;
    std::string code;
  };
  const std::vector<Case> cases = {
      {"unknown call", "", "REQ_VXML_DEQUEUE", {{"varCallID", "9999"}}, "3020"},
      {"unknown queue", "", "REQ_VXML_QUERYQUEUESTATISTICS", {{"varQueueName", "Nowhere"}}, "3021"},
      {"unknown agent", "", "REQ_VXML_QUERYAGENTSTATUS", {{"varDevice", "D9"}}, "3022"},
      {"unknown callback", "", "REQ_VXML_DELETECALLBACK", {{"varCallbackID", "CB9"}}, "3023"},
      {"closed connection", "fault close", "REQ_VXML_QUERYSYSTEMSTATUS", {},
       "0 bytes received - Socket closed - Protocol Error!"},
      {"overlong field", "", "REQ_VXML_SETDISPLAY", {{"varCallID", "1"}, {"varDisplayInfo", std::string(10000, 'x')}},
       "1014"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.fault.empty()) {
      ASSERT_EQ(sim_.Control(c.fault), "");
    }
    const VoiceAnswer answer = browser_->Call(c.operation, c.request);
    ASSERT_EQ(answer.size(), kAnswerVariables.size());
    EXPECT_EQ(answer.at("returnCode"), c.code);
    for (const auto& name : kAnswerVariables) {
      if (name != "returnCode") {
        EXPECT_EQ(answer.at(name), "0") << name;
      }
    }
  }
  EXPECT_EQ(SentFields(230), "<none>") << "a request that cannot be built is not sent";
}

// Binds the port a stopped back end had, without listening: connections to it
// are refused, and no other test running beside this one can take it.
class PortHolder {
 public:
  explicit PortHolder(unsigned short port) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    const int yes = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    held_ = bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~PortHolder() { close(fd_); }
  PortHolder(const PortHolder&) = delete;
  PortHolder& operator=(const PortHolder&) = delete;
  bool held() const { return held_; }

 private:
  int fd_;
  bool held_ = false;
};

TEST_F(VoiceGatewayTest, BackEndDownIsAnsweredOnTheRequestThread) {
  EXPECT_EQ(sim_.Stop(), 0);
  std::optional<PortHolder> down(std::in_place, sim_.port());
  ASSERT_TRUE(down->held());
  const VoiceAnswer answer = browser_->Call("REQ_VXML_ENQUEUE", {{"varCallID", "1"}});
  EXPECT_EQ(answer.at("returnCode"), "1002");
  EXPECT_EQ(answer.at("estimatedWait"), "0");
  const std::string trace = Trace();
  EXPECT_NE(trace.find("CRAVOExtension::REQ_VXML_ENQUEUE: CommunicateWithVEKACS failed"), std::string::npos);
  EXPECT_EQ(trace.find("AsyncThreadProc"), std::string::npos) << "no worker started";
  // Back again, so that the host's stop need not wait for it.
  down.reset();
  revived_.emplace(std::vector<std::string>{"--listen", "127.0.0.1:" + std::to_string(sim_.port())});
  EXPECT_TRUE(revived_->ready());
}

TEST_F(VoiceGatewayTest, WithoutTheAnswerDocumentTheVoiceBrowserGetsAnEmptyAnswer) {
  // The key is read again for every answer.
  std::string settings = site_.Read("RAVO.ini");
  settings = std::regex_replace(settings, std::regex("\nResponse=Response.vxml"), "\nResponse=Missing.vxml");
  site_.Write("RAVO.ini", settings);
  for (const VoiceRequest& request : {VoiceRequest{{"varCallID", "1"}},                            // worker
                                      VoiceRequest{{"varCallID", std::string(10000, '1')}}}) {  // request thread
    std::string body = "unset";
    browser_->Call("REQ_VXML_QUERYCALLSTATUS", request, &body);
    EXPECT_EQ(body, "");
  }
  site_.Write("vxml/Missing.vxml", "");
  std::string body = "unset";
  browser_->Call("REQ_VXML_INITIALIZE", {}, &body);
  EXPECT_EQ(body, "");
  std::string reports;
  EXPECT_TRUE(WaitUntil(
      [&] {
        reports = sim_.Control("reports");
        return reports.find("Response.vxml is empty!") != std::string::npos &&
               reports.find("vxml/Missing.vxml::RAVO") != std::string::npos &&
               reports.find("RESP_REQ_VXML_QUERYCALLSTATUS Cannot retrieve Response.xvml page") != std::string::npos &&
               reports.find("RESP_REQ_VXML_INITIALIZE Cannot retrieve VXMLResponse page") != std::string::npos &&
               reports.find("OutputVXMLPage can not open Response.vxml and leaving") != std::string::npos;
      },
      20s))
      << reports;
}

// Plays the sample application: the request names and the variables each
// sends come from queue.vxml, the values from its literals and from the
// answers, as an interpreter would take them.
class SampleApplication {
 public:
  SampleApplication(const std::string& path, VoiceBrowser& browser) : browser_(browser) {
    std::ifstream in(path);
    source_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    static const std::regex kLiteral(R"re(<var name="(\w+)" expr="'([^']*)'"/>)re");
    static const std::regex kAlias(R"re(<var name="(\w+)" expr="(\w+)"/>)re");
    for (std::sregex_iterator it(source_.begin(), source_.end(), kLiteral), end; it != end; ++it) {
      variables_[(*it)[1]] = (*it)[2];
    }
    for (std::sregex_iterator it(source_.begin(), source_.end(), kAlias), end; it != end; ++it) {
      if (variables_.count((*it)[2])) variables_[(*it)[1]] = variables_[(*it)[2]];
    }
  }
  void Set(const std::string& name, const std::string& value) { variables_[name] = value; }
  // Runs the subdialog of form id; an empty answer when the form has none.
  VoiceAnswer Run(const std::string& form) {
    const auto start = source_.find("<form id=\"" + form + "\">");
    if (start == std::string::npos) return {};
    const std::string body = source_.substr(start, source_.find("</form>", start) - start);
    std::smatch request, names;
    if (!std::regex_search(body, request, std::regex(R"(name="varUserRequest" expr="'(\w+)'")")) ||
        !std::regex_search(body, names, std::regex(R"re(namelist="([^"]*)")re"))) {
      return {};
    }
    VoiceRequest sent;
    std::istringstream list(names[1].str());
    for (std::string name; list >> name;) {
      if (name != "varUserRequest") sent.emplace_back(name, variables_[name]);
    }
    return browser_.Call(request[1], sent);
  }

 private:
  VoiceBrowser& browser_;
  std::string source_;
  std::map<std::string, std::string> variables_;
};

TEST_F(VoiceGatewayTest, TheSampleApplicationQueuesTheCallerAndHandsTheCallOverWithATransitNumber) {
  // Two callers ahead keep the sample's caller waiting for two agents.
  const std::string first = Register(), second = Register();
  Enqueue(first);
  Enqueue(second);
  SampleApplication app(site_.path() + "vxml/queue.vxml", *browser_);
  app.Set("varUniqueID", "ivr-1");
  app.Set("varANI", "tel:+4930555");
  app.Set("varDNIS", "tel:0800");
  const VoiceAnswer registered = app.Run("register");
  ASSERT_EQ(registered.at("returnCode"), "0");
  const std::string call = registered.at("callID");
  app.Set("varCallID", call);
  EXPECT_EQ(app.Run("note").at("returnCode"), "0");
  const VoiceAnswer queued = app.Run("enqueue");
  EXPECT_EQ(queued.at("callsInQ"), "1") << "the sample waits in another queue";
  // The positions move as agents take calls, whichever queue they wait in.
  EXPECT_EQ(Position(first), "1");
  EXPECT_EQ(app.Run("status").at("positionInQ"), "1");
  ASSERT_EQ(sim_.Control("voice free 1"), "routed=1\n");
  EXPECT_EQ(Position(first), "0");
  EXPECT_EQ(Position(second), "1");
  ASSERT_EQ(sim_.Control("voice agent-free-every 200"), "");
  std::string position;
  ASSERT_TRUE(WaitUntil([&] {
    position = app.Run("status").at("positionInQ");
    if (position != "0") {
      EXPECT_EQ(app.Run("estimate").at("returnCode"), "0");
    }
    return position == "0";
  }));
  EXPECT_EQ(Position(second), "0");
  const VoiceAnswer handover = app.Run("handover");
  EXPECT_EQ(handover.at("returnCode"), "0");
  EXPECT_TRUE(std::regex_match(handover.at("transitNumber"), std::regex("700[1-5]"))) << handover.at("transitNumber");
  EXPECT_NE(sim_.Control("voice calls").find("call=" + call + " state=routed"), std::string::npos);
  EXPECT_EQ(app.Run("release").at("returnCode"), "0");
  EXPECT_EQ(app.Run("terminate").at("returnCode"), "0");
  EXPECT_EQ(sim_.Control("voice calls").find("call=" + call + " "), std::string::npos) << "the call is gone";
  // The callback branch: a caller who would rather be called back leaves the queue.
  const std::string third = Register();
  app.Set("varCallID", third);
  ASSERT_EQ(sim_.Control("voice agent-free-every 0"), "");
  EXPECT_EQ(app.Run("enqueue").at("returnCode"), "0");
  const VoiceAnswer callback = app.Run("callback");
  EXPECT_EQ(callback.at("callbackID"), "CB1");
  EXPECT_EQ(app.Run("leaveQueue").at("returnCode"), "0");
  EXPECT_EQ(browser_->Call("REQ_VXML_QUERYCALLSTATUS", {{"varCallID", third}}).at("returnCode"), "3024");
  EXPECT_EQ(app.Run("terminate").at("returnCode"), "0");
  EXPECT_EQ(CheckVoiceDocuments({site_.Read("vxml/queue.vxml")}), "") << "the sample itself is valid";
}

}  // namespace
