// The extension's pages: templates read from disk for a page key and a
// language (with the default language as the fallback), page and error-page
// output into a request's response stream, and the two pages answered
// without the back end. It knows where templates are and nothing of handlers
// or the back end.
//
// Threads: Configure runs once at start, before any request; everything else
// runs on many threads at once and only reads.
#pragma once

#include <memory>
#include <string>
#include <string_view>

class CHttpServerContext;
struct ChatPageValues;
namespace platform {
struct FileSnapshot;
}

class Pages {
 public:
  static constexpr std::string_view kBuiltInErrorPage =
      "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; "
      "charset=iso-8859-1\"></head>1) Request has returned error - <WCERRORCODE><BR>2) Can not "
      "find GeneralError web-page.</body></html>";

  struct Settings {
    std::string iniPath;            // where the page keys of [WEBSETTINGS] are read, at every page
    std::string templateDirectory;  // contains <WCLANGUAGE> unless configured otherwise
    std::string defaultLanguage;
    std::string moduleFileName;     // the value of <WCSERVLET>
  };
  void Configure(Settings settings);

  // The template of page (a [WEBSETTINGS] key) for language; attempt 0 falls
  // back to the default language once. False, text empty, when neither loads.
  bool Load(const std::string& page, std::string& text, const std::string& language, int attempt) const;
  // The same template as it was read, shared rather than copied; null (with
  // the same records and trace) where Load gives false.
  std::shared_ptr<const platform::FileSnapshot> LoadTemplate(const std::string& page, const std::string& language,
                                                             int attempt) const;
  // Writes page with <WCSERVLET> and <WCLANGUAGE> filled in; an empty page
  // writes the general error page with code 1006 instead.
  void Output(const std::string& page, const std::string& language, CHttpServerContext* ctx,
              bool for_error_page) const;
  // The same for a page whose placeholders were all filled already
  // (FillPlaceholders): nothing in it is replaced again.
  void OutputFilled(const std::string& page, const std::string& language, CHttpServerContext* ctx) const;
  // OutputFilled of the chat poll page that SubstituteChatPage makes of
  // page_template, filled straight into the response.
  void OutputChatPage(std::string_view page_template, const ChatPageValues& values, std::string_view module_file_name,
                      const std::string& language, CHttpServerContext* ctx) const;
  // The general error page showing error_code (the built-in page when the
  // template is missing); context_word names the failed operation in the record.
  void OutputError(std::string_view error_code, std::string_view context_word, const std::string& language,
                   CHttpServerContext* ctx) const;

  // The entry page, and a page file of the template folder named by the visitor.
  int MainPage(CHttpServerContext* ctx, const std::string& business_unit, const std::string& language) const;
  int StaticPage(CHttpServerContext* ctx, const std::string& language, const std::string& page_name) const;

 private:
  void OutputFilled(const std::string& page, const std::string& language, CHttpServerContext* ctx,
                    bool for_error_page) const;
  // named: the page's path had a language to fill in (else nothing was read).
  std::shared_ptr<const platform::FileSnapshot> LoadTemplate(const std::string& page, const std::string& language,
                                                             int attempt, bool& named) const;
  // What OutputFilled writes for an empty page.
  void OutputMissingPage(const std::string& language, CHttpServerContext* ctx, bool for_error_page) const;
  // Whether a template at path, which resolves to real_path, lies in the
  // template root as the root resolves now.
  bool InsideTemplateRoot(const std::string& path, const std::string& real_path) const;
  Settings settings_;
  std::string realRoot_;  // the template root's real path at start; empty when it did not exist
};
