// quorvix-check SITE_FOLDER [--json]: checks a site folder before it goes
// live. Exit status 0 when nothing was found, 1 with findings, 2 on a usage
// error.
#include <cstring>
#include <iostream>
#include <string>

#include "check/SiteCheck.h"

namespace {

constexpr const char* kUsage =
    "usage: quorvix-check SITE_FOLDER [--json] | --version\n"
    "Checks the folder a module runs from: RAVO.ini as the module reads it, the templates\n"
    "of every language folder and the voice-browser document. Prints one line per\n"
    "finding (FILE:LINE: message [kind]), or with --json one JSON object, and the back end\n"
    "it will use on standard error. Exit status: 0 nothing found, 1 findings, 2 usage.\n";

}  // namespace

int main(int argc, char** argv) {
  std::string folder;
  bool json = false;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--json") {
      json = true;
    } else if (argument == "--version") {
      std::cout << "quorvix-check " QUORVIX_VERSION "\n";
      return 0;
    } else if (argument == "--help" || argument == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (argument.starts_with("-") || !folder.empty() || argument.empty()) {
      std::cerr << kUsage;
      return 2;
    } else {
      folder = argument;
    }
  }
  if (folder.empty()) {
    std::cerr << kUsage;
    return 2;
  }
  const check::Report report = check::CheckSite(folder);
  if (json) {
    check::WriteJson(std::cout, report);
  } else {
    check::WriteText(std::cout, report);
  }
  std::cout.flush();
  check::WriteSummary(std::cerr, report);
  return report.findings.empty() ? 0 : 1;
}
