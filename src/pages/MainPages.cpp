// The two requests answered without the back end: the entry page and any
// static page of the template folder.
#include "diag/Diags.h"
#include "diag/TraceLog.h"
#include "extension/RAVO.h"
#include "pages/Placeholders.h"
#include "pages/Templates.h"

int CRAVOExtension::REQ_WEBCHAT_MAIN(CHttpServerContext* ctx, const std::string& business_unit,
                                     const std::string& language) {
  diag::TraceLine("CRAVOExtension::REQ_WEBCHAT_MAIN: Entered\n");
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::REQ_WEBCHAT_MAIN entering", "ISAPI", 0);
  std::string page;
  if (!GetLangSpecificWebPage("CaptureCallData", page, language, 0)) {
    diag::TraceLine("CRAVOExtension::REQ_WEBCHAT_MAIN: Cannot get main webpage\n");
    OutputErrorPage("1006", "REQ_WEBCHAT_MAIN", language, ctx);
    return 0;
  }
  std::string escaped = business_unit;
  EncodeHTMLEscape(escaped);
  ReplacePlaceholder(page, "<WCSERVLET>", m_moduleFileName);
  ReplacePlaceholder(page, "<WCBUSINESSUNITNAME>", escaped);
  OutputPage(page, language, ctx, false);
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::REQ_WEBCHAT_MAIN leaving", "ISAPI", 0);
  diag::TraceLine("CRAVOExtension::REQ_WEBCHAT_MAIN: Exiting successfully\n");
  return 0;
}

int CRAVOExtension::REQ_STAT_PAGE(CHttpServerContext* ctx, const std::string& language,
                                  const std::string& page_name) {
  diag::TraceLine("CRAVOExtension::REQ_STAT_PAGE: Entered\n");
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::REQ_STAT_PAGE entering", "ISAPI", 0);
  if (page_name.empty()) {
    OutputErrorPage("1006", "REQ_STAT_PAGE", language, ctx);
    return 0;
  }
  std::string page;
  const std::string* const languages[] = {&language, &m_settings.defaultLanguage};
  for (const std::string* try_language : languages) {
    const std::string directory = PathForLanguage(m_settings.templateDirectory, *try_language);
    if (!IsSafePageName(page_name, directory)) {
      // Only files of the template folder itself are pages.
      diag::AddDiag(diag::kLevelSevr, "Refused page name outside the template folder", ".\\RAVO",
                    __LINE__);
      diag::TraceLine("CRAVOExtension::REQ_STAT_PAGE: Cannot access stat page\n");
      OutputErrorPage("1006", "REQ_STAT_PAGE", language, ctx);
      return 0;
    }
    if (LoadTextFile(directory + page_name, page) && !page.empty()) break;
  }
  if (page.empty()) {
    diag::AddDiag(diag::kLevelSevr, "Could not find " + page_name + " for " + language, ".\\RAVO",
                  __LINE__);
    diag::TraceLine("CRAVOExtension::REQ_STAT_PAGE: Cannot access stat page\n");
    OutputErrorPage("1006", "REQ_STAT_PAGE", language, ctx);
    return 0;
  }
  ReplacePlaceholder(page, "<WCSERVLET>", m_moduleFileName);
  OutputPage(page, language, ctx, false);
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::REQ_STAT_PAGE leaving", "ISAPI", 0);
  diag::TraceLine("CRAVOExtension::REQ_STAT_PAGE: Exiting successfully\n");
  return 0;
}
