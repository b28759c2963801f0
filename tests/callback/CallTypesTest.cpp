// The call-type message as back ends send it, well and badly formed, and the
// order in which the form lists what it holds.
#include <gtest/gtest.h>

#include "callback/CallTypes.h"

namespace {

using callback::CallTypeMap;

// "id=name,..." in walk order.
std::string Walked(std::string_view message) {
  CallTypeMap map;
  callback::DecodeCallTypeMessage(message, map);
  std::string walked;
  for (const auto& [id, entry] : map.Walk()) {
    walked += (walked.empty() ? "" : ",") + id + "=" + callback::ResolveCallTypeName(entry);
  }
  return walked;
}

TEST(CallTypesTest, DecodesWhatFitsAndWalksBucketsNewestFirst) {
  struct Case {
    const char* what;
    std::string message;
    std::string walked;
  };
  const Case cases[] = {
      {"empty message", "", ""},
      {"no separator", "1\x0F" "A\x0F", ""},
      {"one separator only", "\x10" "1\x0F" "A\x0F", ""},
      {"separator as last byte", "1\x0F" "A\x10", ""},
      {"worked example", "\x10" "10\x0F" "A\x0F\x10" "2\x0F" "B\x0F\x10" "3\x0F" "C\x10", "3=Unknown,2=B,10=A"},
      {"text outside the records", "lead\x10" "2\x0F" "B\x0F\x10" "trail", "2=B"},
      {"record without part separator", "\x10" "2\x0F" "B\x0F\x10" "nosep\x10", "2=B"},
      {"empty id", "\x10\x0F" "B\x0F\x10" "2\x0F" "C\x0F" "x\x10", "2=C"},
      {"empty record", "\x10\x10" "2\x0F" "B\x0F\x10", "2=B"},
      {"entry starting with part separator", "\x10" "5\x0F\x0F" "X\x10", "5=Unknown"},
      {"empty entry", "\x10" "5\x0F\x10", "5=Unknown"},
      {"later record renames, first keeps its place",
       "\x10" "10\x0F" "A\x0F\x10" "2\x0F" "B\x0F\x10" "10\x0F" "Z\x0F\x10", "2=B,10=Z"},
      {"further text after the name is not shown", "\x10" "7\x0F" "Name\x0F" "desc\x0F" "more\x10", "7=Name"},
      // "\x80\x80" lands in bucket 1 only when bytes count as signed; as
      // unsigned it would share bucket 0 with "3" and come first.
      {"bytes hash as signed", "\x10" "3\x0F" "T\x0F\x10\x80\x80\x0F" "S\x0F\x10", "3=T,\x80\x80=S"},
  };
  for (const auto& c : cases) EXPECT_EQ(Walked(c.message), c.walked) << c.what;
}

TEST(CallTypesTest, OptionsOfTheWorkedExampleByteForByte) {
  CallTypeMap map;
  callback::DecodeCallTypeMessage("\x10" "10\x0F" "A\x0F\x10" "2\x0F" "B\x0F\x10" "3\x0F" "C\x10", map);
  EXPECT_EQ(callback::CallTypeOptions(map),
            "<OPTION value='3' selected>Unknown</OPTION><OPTION value='2'>B</OPTION><OPTION value='10'>A</OPTION>");
  EXPECT_EQ(callback::CallTypeOptions(CallTypeMap()), "");
}

TEST(CallTypesTest, NamesAndIdsCannotLeaveTheirOption) {
  CallTypeMap map;
  callback::DecodeCallTypeMessage("\x10" "a'b\x0F<script>x</script> & Tom's\x0F\x10", map);
  EXPECT_EQ(callback::CallTypeOptions(map),
            "<OPTION value='a&#x27;b' selected>&lt;script&gt;x&lt;&#x2F;script&gt; &amp; Tom&#x27;s</OPTION>");
}

TEST(CallTypesTest, NineHundredRecordsInALongFieldGiveNineHundredOptions) {
  std::string message(1, '\x10');
  for (int i = 0; i < 900; ++i) message += "T" + std::to_string(i) + "\x0F" "Type " + std::to_string(i) + "\x0F\x10";
  ASSERT_GT(message.size(), 9999u);
  CallTypeMap map;
  callback::DecodeCallTypeMessage(message, map);
  const std::string options = callback::CallTypeOptions(map);
  std::size_t count = 0, selected = 0;
  for (auto at = options.find("<OPTION"); at != std::string::npos; at = options.find("<OPTION", at + 1)) ++count;
  for (auto at = options.find(" selected>"); at != std::string::npos; at = options.find(" selected>", at + 1)) {
    ++selected;
  }
  EXPECT_EQ(count, 900u);
  EXPECT_EQ(selected, 1u);
}

}  // namespace
