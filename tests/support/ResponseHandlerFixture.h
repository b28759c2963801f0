// Response handlers run straight from a test: the extension over a copy of
// the built site (QUORVIX_SITE_DIR), its templates and settings, with the
// back end's port where nothing listens, so that the test hands a handler the
// back end's answer itself.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "extension/AsyncRequest.h"
#include "support/ExtensionFixture.h"

class ResponseHandlerFixture : public ExtensionFixture<> {
 protected:
  void SetUp() override {
    const std::string site = QUORVIX_SITE_DIR;
    std::filesystem::copy(site + "html", dir_.path() + "html", std::filesystem::copy_options::recursive);
    std::filesystem::copy_file(site + "RAVO.ini", dir_.path() + "RAVO.ini");
    std::string ini = dir_.Read("RAVO.ini");
    ini.replace(ini.find("\nPort="), 10, "\nPort=1\n#");
    Start(ini);
  }

  // Runs handler on the back end's response and returns the page it wrote.
  template <typename Handler>
  std::string Page(Handler handler, bool ok, const std::string& response) {
    QX_EXTENSION_CONTROL_BLOCK ecb{};
    CHttpServerContext ctx(&ecb);
    ctx.m_pStream = std::make_unique<CHtmlStream>();
    EXPECT_EQ((extension_.get()->*handler)(ok, &ctx, &info_, response, ""), 0);
    return ctx.m_pStream->Text();
  }

  AsyncRequestInfo info_;
};
