// The two requests answered without the back end: the entry page and any
// static page of the template folder.
#include "diag/Diags.h"
#include "diag/TraceLog.h"
#include "pages/PageNames.h"
#include "pages/Pages.h"
#include "pages/Placeholders.h"
#include "pages/Templates.h"
#include "protocol/Codes.h"

namespace {

std::string NoTemplate() { return protocol::Text(protocol::Code::kNoTemplate); }

}  // namespace

int Pages::MainPage(CHttpServerContext* ctx, const std::string& business_unit, const std::string& language) const {
  diag::TraceLine("CRAVOExtension::REQ_WEBCHAT_MAIN: Entered\n");
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::REQ_WEBCHAT_MAIN entering", "ISAPI", 0);
  std::string page;
  if (!Load(page_key::kCaptureCallData, page, language, 0)) {
    diag::TraceLine("CRAVOExtension::REQ_WEBCHAT_MAIN: Cannot get main webpage\n");
    OutputError(NoTemplate(), "REQ_WEBCHAT_MAIN", language, ctx);
    return 0;
  }
  ReplacePlaceholder(page, placeholder::kServlet, settings_.moduleFileName);
  ReplacePlaceholder(page, placeholder::kBusinessUnitName, HtmlEscaped(business_unit));
  Output(page, language, ctx, false);
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::REQ_WEBCHAT_MAIN leaving", "ISAPI", 0);
  diag::TraceLine("CRAVOExtension::REQ_WEBCHAT_MAIN: Exiting successfully\n");
  return 0;
}

int Pages::StaticPage(CHttpServerContext* ctx, const std::string& language, const std::string& page_name) const {
  diag::TraceLine("CRAVOExtension::REQ_STAT_PAGE: Entered\n");
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::REQ_STAT_PAGE entering", "ISAPI", 0);
  if (page_name.empty()) {
    OutputError(NoTemplate(), "REQ_STAT_PAGE", language, ctx);
    return 0;
  }
  std::string page;
  const std::string root = TemplateRoot(settings_.templateDirectory);
  const std::string* const languages[] = {&language, &settings_.defaultLanguage};
  for (const std::string* try_language : languages) {
    const std::string directory = PathForLanguage(settings_.templateDirectory, *try_language);
    if (!IsSafePageName(page_name, directory) || !IsInsideRoot(directory + page_name, root)) {
      // Only files of the template folder itself are pages.
      diag::AddDiag(diag::kLevelSevr, "Refused page name outside the template folder", ".\\RAVO",
                    __LINE__);
      diag::TraceLine("CRAVOExtension::REQ_STAT_PAGE: Cannot access stat page\n");
      OutputError(NoTemplate(), "REQ_STAT_PAGE", language, ctx);
      return 0;
    }
    if (LoadTextFile(directory + page_name, page) && !page.empty()) break;
  }
  if (page.empty()) {
    diag::AddDiag(diag::kLevelSevr, "Could not find " + page_name + " for " + language, ".\\RAVO",
                  __LINE__);
    diag::TraceLine("CRAVOExtension::REQ_STAT_PAGE: Cannot access stat page\n");
    OutputError(NoTemplate(), "REQ_STAT_PAGE", language, ctx);
    return 0;
  }
  ReplacePlaceholder(page, placeholder::kServlet, settings_.moduleFileName);
  Output(page, language, ctx, false);
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::REQ_STAT_PAGE leaving", "ISAPI", 0);
  diag::TraceLine("CRAVOExtension::REQ_STAT_PAGE: Exiting successfully\n");
  return 0;
}
