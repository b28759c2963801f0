// What a voice browser does with the gateway's answers, for tests: calls an
// operation over HTTP, reads the answer document's variables the way a
// VoiceXML interpreter would (XML attribute, then ECMAScript string), and
// keeps every document it received for the schema check.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

class HostProcess;

// The variables of an answer document by name; empty when it declares none.
using VoiceAnswer = std::map<std::string, std::string>;

// Reads every <var name="..." expr="'...'"/> of document. A var whose expr is
// not one string literal is missing from the result.
VoiceAnswer ReadVoiceAnswer(const std::string& document);

// name=value pairs of a request, URL-encoded when sent.
using VoiceRequest = std::vector<std::pair<std::string, std::string>>;
std::string EncodeQuery(const VoiceRequest& request);

// Checks documents against the VoiceXML 2.1 schema of the shared folder next
// to the repository, or only for well-formedness where that folder is
// missing (then *schema is false, and a note says so once). Returns xmllint's complaints, empty when
// every document passes.
std::string CheckVoiceDocuments(const std::vector<std::string>& documents, bool* schema = nullptr);

class VoiceBrowser {
 public:
  explicit VoiceBrowser(const HostProcess& host) : host_(host) {}

  // Sends varUserRequest=operation and the pairs as a GET; the answer's
  // variables, and the raw body in *body when given.
  VoiceAnswer Call(const std::string& operation, const VoiceRequest& request, std::string* body = nullptr);

  const std::vector<std::string>& Documents() const { return documents_; }

 private:
  const HostProcess& host_;
  std::vector<std::string> documents_;
};
