// The answer document as OutputVXMLPage leaves it: which placeholders are
// filled, in which order the rest are cleared, and that any bytes at all
// reach a voice browser unchanged inside a valid document.
#include <gtest/gtest.h>

#include <fstream>

#include "pages/VoicePages.h"
#include "vxml/VoiceBrowser.h"

namespace {

std::string SiteAnswerTemplate() {
  std::ifstream in(std::string(QUORVIX_SOURCE_DIR) + "/site/vxml/Response.vxml");
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(VoiceDocumentTest, OnlyTheExactPlaceholdersAreClearedEveryOccurrence) {
  std::string document =
      "<WCVXMLRETURNCODE>|<WCVXMLCALLID>|<WCVXMLCALLID>|<WCVXMLCALLD>|<wcvxmlcallid>|<WCVXMLVALUE>|<WCSERVLET>";
  FillVoicePlaceholder(document, "<WCVXMLVALUE>", "v");
  CompleteVoiceDocument(document, "2017");
  EXPECT_EQ(document, "2017|0|0|<WCVXMLCALLD>|<wcvxmlcallid>|v|<WCSERVLET>");

  std::string every, zeros;
  for (const auto placeholder : kVoiceValuePlaceholders) {
    every += std::string(placeholder) + ";";
    zeros += "0;";
  }
  CompleteVoiceDocument(every, "");
  EXPECT_EQ(every, zeros);
}

TEST(VoiceDocumentTest, AValueThatNamesALaterPlaceholderIsKeptAsSent) {
  std::string document = SiteAnswerTemplate();
  ASSERT_FALSE(document.empty());
  FillVoicePlaceholder(document, "<WCVXMLAGENTID>", "<WCVXMLDEVICE>");
  CompleteVoiceDocument(document, "0");
  const VoiceAnswer answer = ReadVoiceAnswer(document);
  EXPECT_EQ(answer.at("agentID"), "<WCVXMLDEVICE>");
  EXPECT_EQ(answer.at("device"), "0");
}

TEST(VoiceDocumentTest, EveryByteReachesTheVoiceBrowserInAValidDocument) {
  std::string all_bytes;
  for (int c = 0; c < 256; ++c) all_bytes.push_back(static_cast<char>(c));
  struct Case {
    std::string placeholder, variable, value;
  };
  const std::vector<Case> cases = {
      {"<WCVXMLVALUE>", "value", all_bytes},
      {"<WCVXMLDESCRIPTION>", "description", "']]></var><script>x</script><!--"},
      {"<WCBUSINESSUNITNAME>", "businessUnitName", "Sales & Service <EU>"},
      {"<WCVXMLRETURNCODE>", "returnCode", "Socket Timeout - Protocol Error!"},
  };
  std::vector<std::string> documents;
  for (const auto& c : cases) {
    std::string document = SiteAnswerTemplate();
    if (c.placeholder == "<WCVXMLRETURNCODE>") {
      CompleteVoiceDocument(document, c.value);
    } else {
      FillVoicePlaceholder(document, c.placeholder, c.value);
      CompleteVoiceDocument(document, "0");
    }
    EXPECT_EQ(ReadVoiceAnswer(document).at(c.variable), c.value) << c.variable;
    documents.push_back(document);
  }
  EXPECT_EQ(CheckVoiceDocuments(documents), "");
}

}  // namespace
