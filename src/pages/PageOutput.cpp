// Writing pages and error pages into the response stream. Error pages go out
// with status 200: the visitor's page shows the code, the browser sees no
// failure.
#include "diag/Diags.h"
#include "isapi/ControlBlock.h"
#include "isapi/HttpServerContext.h"
#include "pages/ErrorPageCounts.h"
#include "pages/PageNames.h"
#include "pages/Pages.h"
#include "pages/Placeholders.h"
#include "protocol/Codes.h"

namespace {

// Error pages go out with status 200: the host's metrics count them by code
// and its access log shows the code.
void NoteErrorPage(CHttpServerContext* ctx, std::string_view code) {
  pages::CountErrorPage(code);
  char label[8];
  pages::ErrorPageLabel(code, label);
  isapi::SetLogData(ctx->m_pECB, label);
}

}  // namespace

void Pages::Output(const std::string& page, const std::string& language, CHttpServerContext* ctx,
                   bool for_error_page) const {
  if (page.empty()) {
    OutputFilled(page, language, ctx, for_error_page);
    return;
  }
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::OutputPage entering", "ISAPI", 0);
  const PlaceholderValue fill[] = {{placeholder::kServlet, settings_.moduleFileName},
                                   {placeholder::kLanguage, language}};
  *ctx << FillPlaceholders(page, fill);
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::OutputPage leaving", "ISAPI", 0);
}

void Pages::OutputFilled(const std::string& page, const std::string& language, CHttpServerContext* ctx) const {
  OutputFilled(page, language, ctx, false);
}

void Pages::OutputFilled(const std::string& page, const std::string& language, CHttpServerContext* ctx,
                         bool for_error_page) const {
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::OutputPage entering", "ISAPI", 0);
  if (!page.empty()) {
    *ctx << page;
  } else {
    OutputMissingPage(language, ctx, for_error_page);
  }
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::OutputPage leaving", "ISAPI", 0);
}

void Pages::OutputMissingPage(const std::string& language, CHttpServerContext* ctx, bool for_error_page) const {
  std::string error_page;
  if (Load(page_key::kGeneralError, error_page, language, 0)) {
    ReplacePlaceholder(error_page, placeholder::kErrorCode, protocol::Text(protocol::Code::kNoTemplate));
    NoteErrorPage(ctx, protocol::Text(protocol::Code::kNoTemplate));
    *ctx << error_page;
  } else if (!for_error_page) {
    OutputError(protocol::Text(protocol::Code::kNoTemplate), "OutputPage", language, ctx);
  } else if (!ctx->m_pStream) {
    *ctx << "";  // no stream: the same failure as writing a page
  }
}

void Pages::OutputChatPage(std::string_view page_template, const ChatPageValues& values,
                           std::string_view module_file_name, const std::string& language,
                           CHttpServerContext* ctx) const {
  if (!ctx->m_pStream) {
    // Fails as OutputFilled fails without a stream.
    std::string page(page_template);
    SubstituteChatPage(page, values, module_file_name);
    OutputFilled(page, language, ctx, false);
    return;
  }
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::OutputPage entering", "ISAPI", 0);
  std::string& out = ctx->m_pStream->Buffer();
  const std::size_t before = out.size();
  AppendChatPage(out, page_template, values, module_file_name);
  if (out.size() == before) OutputMissingPage(language, ctx, false);
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::OutputPage leaving", "ISAPI", 0);
}

void Pages::OutputError(std::string_view error_code, std::string_view context_word, const std::string& language,
                        CHttpServerContext* ctx) const {
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::OutputErrorPage entering", "ISAPI", 0);
  std::string page;
  Load(page_key::kGeneralError, page, language, 0);
  if (page.empty()) page = kBuiltInErrorPage;
  ReplacePlaceholder(page, placeholder::kErrorCode, error_code);
  ReplacePlaceholder(page, placeholder::kLanguage, language);
  NoteErrorPage(ctx, error_code);
  std::string record(error_code);
  record.append(":").append(context_word);
  diag::AddDiag(diag::kLevelSevr, record, ".\\RAVO", __LINE__);
  Output(page, language, ctx, true);
}
