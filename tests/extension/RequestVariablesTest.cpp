#include "extension/RequestVariables.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "platform/Text.h"
#include "support/ExtensionFixture.h"

namespace {

std::string Extracted(std::string_view text, std::string_view name, bool expect_found = true) {
  std::string value = "stale";
  EXPECT_EQ(ExtractWebVar(text, name, value), expect_found) << text;
  return value;
}

TEST(ExtractWebVarTest, FindsTheNameAnywhereWithoutRegardToCase) {
  EXPECT_EQ(Extracted("a=1&varCustomerName=Ann+Lee%21&b=2", "varCustomerName="), "Ann Lee!");
  EXPECT_EQ(Extracted("VARCUSTOMERNAME=x", "varCustomerName="), "x");
  EXPECT_EQ(Extracted("xvarCustomerName=y", "varCustomerName="), "y");
  EXPECT_EQ(Extracted("varCallID=&varKey=k", "varCallID="), "");
  EXPECT_EQ(Extracted("varKey=k", "varCallID=", false), "");
}

// The search behind every lookup, against the plain one over lowered copies,
// for many texts and names of a few bytes: letters in both cases and bytes
// that are none, found at, after or nowhere near where the search starts.
TEST(ExtractWebVarTest, TheCaseBlindSearchAgreesWithAPlainSearchOfLoweredCopies) {
  const auto lowered = [](std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = text::ToLowerAscii(c);
    return lower;
  };
  std::mt19937 random(26);
  const std::string_view alphabet = "vVa=&A";
  const auto pick = [&](std::size_t length) {
    std::string made;
    for (std::size_t i = 0; i < length; ++i) made.push_back(alphabet[random() % alphabet.size()]);
    return made;
  };
  for (int i = 0; i < 20000; ++i) {
    const std::string text = pick(random() % 13);
    const std::string name = pick(1 + random() % 4);
    const std::size_t from = random() % (text.size() + 2);
    const std::size_t expected = from > text.size() ? std::string::npos : lowered(text).find(lowered(name), from);
    ASSERT_EQ(text::FindIgnoringCase(text, name, from), expected) << text << " " << name << " " << from;
  }
  EXPECT_EQ(text::FindIgnoringCase("a=b", "a=", std::string_view::npos), std::string_view::npos);
}

TEST(ExtractWebVarTest, CutsAtQuestionMarkAmpersandOrCarriageReturnBeforeDecoding) {
  EXPECT_EQ(Extracted("v=what%3F&w=1", "v="), "what?");
  EXPECT_EQ(Extracted("v=what?no", "v="), "what");
  EXPECT_EQ(Extracted("v=line\r\nnext", "v="), "line");
  EXPECT_EQ(Extracted("v=a%26b", "v="), "a&b");
}

TEST(URLDecodeTest, DecodesPlusAndPercentSequences) {
  struct Case {
    std::string in, out;
    bool decoded;
  };
  const std::vector<Case> cases = {
      {"%41%4a", "AJ", true},       {"ends%4", "ends%4", false}, {"a+b", "a b", true},
      {"plain", "plain", false},    {"%", "%", false},          {"%%41", "T1", true},
      {"%zz", std::string(1, static_cast<char>((16 * ('Z' - 55) + ('Z' - 55)) & 0xFF)), true},
      {"%2+", std::string(1, static_cast<char>(16 * 2 + (' ' - 48))), true},
  };
  for (const auto& c : cases) {
    std::string text = c.in;
    EXPECT_EQ(URLDecode(text), c.decoded) << c.in;
    EXPECT_EQ(text, c.out) << c.in;
  }
}

TEST(RelevantParamsTest, GathersThePairsThatNameNoKnownVariable) {
  struct Case {
    std::string text, data;
  };
  const std::vector<Case> cases = {
      {"varUserRequest=REQ_JS_START&Order=4711&Note=a%26b", "Order=4711&Note=a&b"},
      {"varUserRequest=REQ_JS_START&Comment=Submit+now&Order=1", "Order=1"},
      {"a=1&&b=2", "a=1&&b=2"},
      {"varUserRequest=REQ_JS_START", ""},
      {"a=1", "a=1"},
      {"", "&"},
  };
  for (const auto& c : cases) {
    std::string data = "stale";
    GetRelevantParams(c.text, data);
    EXPECT_EQ(data, c.data) << c.text;
  }
  EXPECT_FALSE(ContainsRelevantCallData("varCaption=x"));
  EXPECT_FALSE(ContainsRelevantCallData("x=varSourceCode"));
  EXPECT_TRUE(ContainsRelevantCallData("VARCAPTION=x")) << "known names are case-sensitive";
  EXPECT_TRUE(ContainsRelevantCallData(""));
}

class ServerVariablesTest : public ExtensionFixture<> {};

TEST_F(ServerVariablesTest, FirstRequestDecidesTheNamesForTheLifeOfTheModule) {
  auto& extension = Start("[VEKASETTINGS]\nDebugOutput=1\n");
  auto first = FakeRequest::Get("").ServerVariable("URL", "/quorvix.so").ServerVariable("SERVER_NAME", "web1");
  extension.HttpExtensionProc(first.ecb());
  auto second = FakeRequest::Get("").ServerVariable("URL", "/other/quorvix.so").ServerVariable("SERVER_NAME", "web2");
  extension.HttpExtensionProc(second.ecb());
  const auto names = extension.CurrentServerNames();
  EXPECT_EQ(names.webServer, "web1");
  EXPECT_EQ(names.webApplication, "Unknown");
  Stop();
  const auto trace = dir_.Read("debug.txt");
  EXPECT_NE(trace.find("\nCRAVOExtension::UpdateServerVariables: Web application name = Unknown\n"
                       "CRAVOExtension::UpdateServerVariables: Web Server name = web1\n"),
            std::string::npos)
      << trace;
}

TEST_F(ServerVariablesTest, NamesStayUnknownWhenTheHostRefuses) {
  auto& extension = Start("[VEKASETTINGS]\nDebugOutput=1\n");
  auto request = FakeRequest::Get("").RefuseServerVariables();
  extension.HttpExtensionProc(request.ecb());
  EXPECT_EQ(extension.CurrentServerNames().webApplication, "Unknown");
  EXPECT_EQ(extension.CurrentServerNames().webServer, "Unknown");
  Stop();
  const auto trace = dir_.Read("debug.txt");
  EXPECT_NE(trace.find("CRAVOExtension::UpdateServerVariables: fail to get URL. Error=1413\n"),
            std::string::npos)
      << trace;
  EXPECT_NE(trace.find("fail to get SERVER_NAME. Error=1413\n"), std::string::npos);
}

TEST_F(ServerVariablesTest, ApplicationNameIsTheFirstPathSegment) {
  auto& extension = Start();
  auto request = FakeRequest::Get("").ServerVariable("URL", "/webchat/quorvix.so");
  extension.HttpExtensionProc(request.ecb());
  EXPECT_EQ(extension.CurrentServerNames().webApplication, "webchat");
  EXPECT_EQ(extension.CurrentServerNames().webServer, "localhost");
}

}  // namespace
