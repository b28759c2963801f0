// quorvix-check run as an operator runs it: over the built site (nothing to
// find), over copies with one planted fault each (found at its file and
// line), and over garbage (findings, never a crash).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace {

using namespace std::chrono_literals;

struct CheckRun {
  int status = -1;
  std::string stdoutText;  // everything before the summary line
  std::string summary;
  std::vector<std::string> findings;  // lines of the form FILE:LINE: message [kind]
};

CheckRun RunCheck(const std::string& folder, bool json = false) {
  std::vector<std::string> argv = {QUORVIX_CHECK_PATH, folder};
  if (json) argv.push_back("--json");
  ChildProcess process(argv);
  CheckRun run;
  // The summary goes out last, after the report is flushed.
  run.summary = process.WaitForLine("quorvix-check: back end", 60s);
  run.status = process.Stop(0, 30s);
  const std::string output = process.Output();
  run.stdoutText = output.substr(0, output.find("quorvix-check: back end"));
  std::istringstream lines(run.stdoutText);
  for (std::string line; std::getline(lines, line);) {
    if (!json && line.ends_with("]")) run.findings.push_back(line);
  }
  return run;
}

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The 1-based line of the first occurrence of text in the file.
std::size_t LineOf(const std::string& path, const std::string& text) {
  const std::string content = Read(path);
  const auto at = content.find(text);
  if (at == std::string::npos) return 0;
  return 1 + static_cast<std::size_t>(std::count(content.begin(), content.begin() + static_cast<long>(at), '\n'));
}

void Replace(const std::string& path, const std::string& from, const std::string& to) {
  std::string content = Read(path);
  const auto at = content.find(from);
  ASSERT_NE(at, std::string::npos) << from << " not in " << path;
  content.replace(at, from.size(), to);
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

void Write(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

class SiteCopy {
 public:
  SiteCopy() {
    std::filesystem::copy(QUORVIX_SITE_DIR, dir_.path(), std::filesystem::copy_options::recursive);
  }
  const std::string& path() const { return dir_.path(); }

 private:
  TempDir dir_;
};

TEST(CheckTest, BuiltSiteHasNothingToFind) {
  const CheckRun run = RunCheck(QUORVIX_SITE_DIR);
  EXPECT_EQ(run.status, 0) << run.stdoutText;
  EXPECT_TRUE(run.findings.empty()) << run.stdoutText;
  EXPECT_NE(run.summary.find("127.0.0.1, port 4100 (chat, callback, voice)"), std::string::npos) << run.summary;
  const CheckRun json = RunCheck(QUORVIX_SITE_DIR, true);
  EXPECT_EQ(json.status, 0);
  EXPECT_NE(json.stdoutText.find("\"findings\": []"), std::string::npos) << json.stdoutText;
}

struct PlantedFault {
  const char* name;
  // Plants the fault into the site copy at root; returns the file (relative
  // to root) and line where the checker must report it.
  std::function<std::pair<std::string, std::size_t>(const std::string& root)> plant;
  const char* kind;
};

TEST(CheckTest, FindsEachPlantedFaultAtItsFileAndLine) {
  const auto in_ini = [](const std::string& root, const std::string& text) {
    return std::make_pair(std::string("RAVO.ini"), LineOf(root + "RAVO.ini", text));
  };
  const std::vector<PlantedFault> faults = {
      {"template of the default language missing",
       [&](const std::string& root) {
         std::filesystem::remove(root + "html/en/TransferredTo.htm");
         return in_ini(root, "TransferredTo=");
       },
       "missing-template"},
      {"template empty",
       [](const std::string& root) {
         Write(root + "html/de/JSChatControl.htm", "");
         return std::make_pair(std::string("html/de/JSChatControl.htm"), std::size_t{1});
       },
       "empty-template"},
      {"misspelt placeholder",
       [](const std::string& root) {
         const std::string file = "html/en/CallMeConfirm.htm";
         Replace(root + file, "<WCPHONENUMBER>", "<WCPHONENUMBR>");
         return std::make_pair(file, LineOf(root + file, "<WCPHONENUMBR>"));
       },
       "unknown-placeholder"},
      {"chat page without its session",
       [](const std::string& root) {
         Replace(root + "html/en/ChatFrame.htm", "<WCSESSIONID>", "");
         return std::make_pair(std::string("html/en/ChatFrame.htm"), std::size_t{1});
       },
       "missing-placeholder"},
      {"language lacking a page template",
       [&](const std::string& root) {
         std::filesystem::remove(root + "html/de/WebCallbackConfirmed.htm");
         return in_ini(root, "WebCallbackConfirmed=");
       },
       "missing-in-language"},
      {"voice document not well-formed",
       [](const std::string& root) {
         const std::string file = "vxml/Response.vxml";
         Replace(root + file, "</form>", "</from>");
         return std::make_pair(file, LineOf(root + file, "</from>"));
       },
       "malformed-vxml"},
      {"misspelt placeholder in the voice document",
       [](const std::string& root) {
         const std::string file = "vxml/Response.vxml";
         Replace(root + file, "<WCVXMLUUID>", "<WCVXMLUID>");
         return std::make_pair(file, LineOf(root + file, "<WCVXMLUID>"));
       },
       "unknown-placeholder"},
      {"number the module clamps",
       [&](const std::string& root) {
         Replace(root + "RAVO.ini", "MaxSockets=50", "MaxSockets=900");
         return in_ini(root, "MaxSockets=900");
       },
       "clamped-number"},
      {"threshold below its range",
       [&](const std::string& root) {
         Replace(root + "RAVO.ini", "THRESHOLD=105", "THRESHOLD=99");
         return in_ini(root, "THRESHOLD=99");
       },
       "clamped-number"},
      {"unusable back-end address",
       [&](const std::string& root) {
         Replace(root + "RAVO.ini", "Address=127.0.0.1", "Address=back end!");
         return in_ini(root, "Address=back end!");
       },
       "backend-address"},
      {"unusable back-end port",
       [&](const std::string& root) {
         Replace(root + "RAVO.ini", "Port=4100", "Port=70000");
         return in_ini(root, "Port=70000");
       },
       "backend-port"},
      {"TLS port unusable only once a service uses TLS",
       [&](const std::string& root) {
         Replace(root + "RAVO.ini", "SSLPort=4101", "SSLPort=0");
         Replace(root + "RAVO.ini", "ChatUsesSSL=false", "ChatUsesSSL=true");
         return in_ini(root, "SSLPort=0");
       },
       "backend-port"},
  };
  for (const auto& fault : faults) {
    SCOPED_TRACE(fault.name);
    SiteCopy site;
    const auto [file, line] = fault.plant(site.path());
    ASSERT_GT(line, 0u);
    const CheckRun run = RunCheck(site.path());
    EXPECT_EQ(run.status, 1);
    // The planted fault, and nothing else: one fault is one finding.
    ASSERT_EQ(run.findings.size(), 1u) << run.stdoutText;
    const std::string& found = run.findings.front();
    EXPECT_TRUE(found.starts_with(site.path() + file + ":" + std::to_string(line) + ": ")) << found;
    EXPECT_TRUE(found.ends_with(std::string(" [") + fault.kind + "]")) << found;
  }
}

// Bytes that are no settings file or template: every one gives findings and
// a report that tools can read, never a crash.
TEST(CheckTest, GarbageGivesFindingsNotCrashes) {
  std::string binary;
  for (int i = 0; i < 4096; ++i) binary.push_back(static_cast<char>((i * 7919) % 256));
  std::string large;
  while (large.size() < (10u << 20)) large += "<WC" + std::to_string(large.size()) + "X>[WEBSETTINGS]\x01=\xff<WC\n";
  const std::string garbage = "[VEKASETTINGS]\nAddress=\xff\xfe\x1b[31m\nPort=--\n[WEBSETTINGS\nChatFrame=../../..\n";
  struct Case {
    const char* file;
    std::string content;
  };
  const std::vector<Case> cases = {
      {"RAVO.ini", ""},          {"RAVO.ini", garbage},
      {"RAVO.ini", binary},      {"RAVO.ini", large},
      {"html/en/ChatFrame.htm", binary},   {"html/de/JSDispatch.htm", large},
      {"vxml/Response.vxml", binary},      {"vxml/Response.vxml", large},
      {"vxml/Response.vxml", "<?xml version=\"1.0\"?><!DOCTYPE v [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b "
                             "\"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\"><!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">]>"
                             "<vxml>&c;<WCVXMLRETURNCODE></vxml"},
  };
  TempDir reports;
  std::string report_files;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const auto& c = cases[i];
    SCOPED_TRACE(std::string(c.file) + ", " + std::to_string(c.content.size()) + " bytes");
    SiteCopy site;
    Write(site.path() + c.file, c.content);
    const CheckRun run = RunCheck(site.path(), true);
    EXPECT_EQ(run.status, 1) << run.stdoutText.substr(0, 2000);
    std::size_t findings = 0;
    for (auto at = run.stdoutText.find("{\"file\": "); at != std::string::npos;
         at = run.stdoutText.find("{\"file\": ", at + 1)) {
      ++findings;
    }
    EXPECT_GT(findings, 0u);
    EXPECT_LT(findings, 200u) << "the report must stay readable";
    const std::string report = reports.path() + "report-" + std::to_string(i) + ".json";
    Write(report, run.stdoutText);
    report_files += " " + report;
  }
  // A tool's JSON parser reads every report.
  const std::string parse =
      "node -e 'for (const f of process.argv.slice(1)) { try { JSON.parse(require(\"fs\").readFileSync(f, \"utf8\")) }"
      " catch (e) { console.error(f, e.message); process.exitCode = 1 } }'" + report_files;
  EXPECT_EQ(std::system(parse.c_str()), 0);
}

TEST(CheckTest, UsageErrors) {
  for (const std::vector<std::string>& argv : std::vector<std::vector<std::string>>{
           {QUORVIX_CHECK_PATH}, {QUORVIX_CHECK_PATH, "--bogus", "site"}, {QUORVIX_CHECK_PATH, "a", "b"}}) {
    ChildProcess process(argv);
    EXPECT_EQ(process.Stop(0, 30s), 2);
  }
}

}  // namespace
