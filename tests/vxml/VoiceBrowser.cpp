#include "vxml/VoiceBrowser.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <utility>

#include "support/HostProcess.h"
#include "support/TempDir.h"
#include "support/UrlEncode.h"

namespace {

std::string DecodeXmlAttribute(const std::string& text) {
  static const std::map<std::string, char> kNamed = {
      {"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''}};
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto semicolon = text.find(';', i);
    if (text[i] != '&' || semicolon == std::string::npos) {
      out.push_back(text[i]);
      continue;
    }
    const std::string entity = text.substr(i + 1, semicolon - i - 1);
    if (entity.size() > 1 && entity[0] == '#') {
      out.push_back(static_cast<char>(entity[1] == 'x' ? std::stoi(entity.substr(2), nullptr, 16)
                                                       : std::stoi(entity.substr(1))));
    } else {
      out.push_back(kNamed.at(entity));
    }
    i = semicolon;
  }
  return out;
}

// One single-quoted ECMAScript string literal, or false.
bool DecodeScriptString(const std::string& expr, std::string& value) {
  if (expr.size() < 2 || expr.front() != '\'' || expr.back() != '\'') return false;
  value.clear();
  for (std::size_t i = 1; i + 1 < expr.size(); ++i) {
    char c = expr[i];
    if (c == '\'') return false;  // the literal ended early
    if (c == '\\') {
      if (i + 2 >= expr.size()) return false;
      c = expr[++i];
      switch (c) {
        case 'x':
          if (i + 3 >= expr.size()) return false;
          c = static_cast<char>(std::stoi(expr.substr(i + 1, 2), nullptr, 16));
          i += 2;
          break;
        case 'n': c = '\n'; break;
        case 'r': c = '\r'; break;
        case 't': c = '\t'; break;
        default: break;  // \\ \' \" stand for themselves
      }
    }
    value.push_back(c);
  }
  return true;
}

}  // namespace

VoiceAnswer ReadVoiceAnswer(const std::string& document) {
  VoiceAnswer answer;
  static const std::regex kVar(R"re(<var\s+name="([A-Za-z_]\w*)"\s+expr="([^"]*)"\s*/>)re");
  for (std::sregex_iterator it(document.begin(), document.end(), kVar), end; it != end; ++it) {
    std::string value;
    if (DecodeScriptString(DecodeXmlAttribute((*it)[2].str()), value)) answer[(*it)[1].str()] = value;
  }
  return answer;
}

std::string EncodeQuery(const VoiceRequest& request) {
  std::string query;
  for (const auto& [name, value] : request) {
    if (!query.empty()) query.push_back('&');
    query += name + "=" + UrlEncode(value);
  }
  return query;
}

std::string CheckVoiceDocuments(const std::vector<std::string>& documents, bool* schema) {
  const std::filesystem::path schemas = std::filesystem::path(QUORVIX_SOURCE_DIR) / "../shared/schemas/voicexml21";
  const bool have_schema = std::filesystem::exists(schemas / "vxml.xsd");
  if (schema != nullptr) *schema = have_schema;
  static bool told = false;
  if (!have_schema && !std::exchange(told, true)) {
    std::printf("note: %s is missing; answer documents are checked for well-formedness only\n",
                schemas.string().c_str());
  }
  if (documents.empty()) return {};
  TempDir folder;
  std::string command = have_schema ? "XML_CATALOG_FILES='" + (schemas / "catalog.xml").string() +
                                          "' xmllint --noout --nonet --schema '" + (schemas / "vxml.xsd").string() + "'"
                                    : std::string("xmllint --noout --nonet");
  for (std::size_t i = 0; i < documents.size(); ++i) {
    const std::string name = "answer" + std::to_string(i) + ".vxml";
    folder.Write(name, documents[i]);
    command += " '" + folder.path() + name + "'";
  }
  command += " 2>&1";
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "cannot run xmllint";
  char buffer[4096];
  while (const std::size_t count = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, count);
  const int status = pclose(pipe);
  if (status == 0) return {};
  // Point at the documents, not at the temporary files.
  return "xmllint status " + std::to_string(status) + ":\n" + output;
}

VoiceAnswer VoiceBrowser::Call(const std::string& operation, const VoiceRequest& request, std::string* body) {
  VoiceRequest full{{"varUserRequest", operation}};
  full.insert(full.end(), request.begin(), request.end());
  const auto response = host_.Get(EncodeQuery(full));
  if (!response.body.empty()) documents_.push_back(response.body);
  if (body != nullptr) *body = response.body;
  return ReadVoiceAnswer(response.body);
}
