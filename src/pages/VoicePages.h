// The voice browser's answer documents: one VoiceXML template, read from the
// folder vxml/ beside the module for every answer, whose placeholders the
// answering operation fills before the rest are cleared.
//
// Every value goes into the document escaped for where the template puts it:
// inside an ECMAScript string literal in an XML attribute value. A value from
// the back end can then neither break the document nor end the string, and a
// voice browser reads back exactly the bytes that were sent.
//
// Threads: any; everything works on the caller's texts and reads files only.
#pragma once

#include <array>
#include <string>
#include <string_view>

// The return code's placeholder, filled first in every answer.
inline constexpr std::string_view kVoiceReturnCode = "<WCVXMLRETURNCODE>";

// The value placeholders in the order in which OutputVXMLPage clears what an
// operation left: a value inserted earlier is part of the text searched
// later.
inline constexpr std::array<std::string_view, 28> kVoiceValuePlaceholders = {
    "<WCVXMLCALLID>",        "<WCVXMLCALLSINQ>",          "<WCVXMLAGENTID>",       "<WCVXMLAGENTWAITTIME>",
    "<WCVXMLDESCRIPTION>",   "<WCVXMLESTIMATEDWAIT>",     "<WCVXMLDESTINATION>",   "<WCVXMLINITIALPRIORITY>",
    "<WCVXMLORIGINALANI>",   "<WCVXMLORIGINALDNIS>",      "<WCVXMLUUID>",          "<WCVXMLVISITS>",
    "<WCVXMLINTERNALANI>",   "<WCVXMLINTERNALDNIS>",      "<WCVXMLANIDNIS>",       "<WCTRANSITNUMBER>",
    "<WCVXMLAVERAGEWAIT>",   "<WCVXMLOLDESTCALLINQUEUE>", "<WCVXMLSERVICELEVEL>",  "<WCVXMLCALLBACKID>",
    "<WCVXMLVALUE>",         "<WCVXMLPOSITIONINQ>",       "<WCVXMLDEVICE>",        "<WCVXMLAGENTSTATUS>",
    "<WCVXMLOVERALLSTATUS>", "<WCVXMLSERVERSTATE>",       "<WCVXMLENTRIES>",       "<WCBUSINESSUNITNAME>",
};

// The answer document's template name, a [WEBSETTINGS] key.
inline constexpr std::string_view kVoiceResponseDocument = "Response";

// value made safe inside an ECMAScript string literal that stands in an XML
// attribute value: backslash, both quotes, <, > and &, and every control
// byte become \xHH escapes, which the script reads as the original byte and
// XML does not look at. Bytes from 0x80 stay as they are (the document is
// single-byte text, declared as such).
std::string EscapeVoiceValue(std::string_view value);

// Replaces every occurrence of placeholder in document by the escaped value.
void FillVoicePlaceholder(std::string& document, std::string_view placeholder, std::string_view value);

// Fills the return code, then sets every value placeholder still present to
// "0", in the clearing order.
void CompleteVoiceDocument(std::string& document, std::string_view return_code);

// Reads the template of document name: [WEBSETTINGS] of ini_path names the
// file, which lies in module_directory + "vxml/". False, with the record that
// says why, when the file cannot be read or is empty; text is then unusable.
bool LoadVoiceDocument(const std::string& ini_path, const std::string& module_directory, std::string_view name,
                       std::string& text);
