// quorvix.dll as a Windows web server uses it: loaded with LoadLibraryA, its
// exports found with GetProcAddress, every request handed over in a real
// EXTENSION_CONTROL_BLOCK, pending answers awaited until the module says it is
// done with the session; then TerminateExtension and FreeLibrary. The back end
// is vekacs-sim running natively on loopback (scripts/build-windows starts it
// and names its ports in QX_SIM_PORT and QX_SIM_TLS_PORT, the test CA in
// QX_TEST_CA and the folder to install into in QX_WORK).
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <httpext.h>
#include <tlhelp32.h>
#include <wincrypt.h>

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

int ThreadsOfThisProcess() {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  int count = 0;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    count += entry.th32OwnerProcessID == GetCurrentProcessId();
  }
  CloseHandle(snapshot);
  return count;
}

// One request as the web server sees it.
struct Exchange {
  std::string method;
  std::string query;
  std::string body;
  std::string statusLine;
  std::string headers;
  std::string page;
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  DWORD header_error = 0;  // the header callback fails with it as its last error
  DWORD write_error = 0;   // WriteClient fails with it
};

BOOL WINAPI GetServerVariable(HCONN conn, LPSTR name, LPVOID buffer, LPDWORD size) {
  auto* exchange = static_cast<Exchange*>(conn);
  std::string value;
  const std::string wanted = name;
  if (wanted == "REMOTE_ADDR") value = "127.0.0.1";
  else if (wanted == "SERVER_NAME") value = "wine-test";
  else if (wanted == "URL") value = "/webchat/quorvix.dll";
  else if (wanted == "REQUEST_METHOD") value = exchange->method;
  else {
    SetLastError(ERROR_INVALID_INDEX);
    return FALSE;
  }
  if (*size < value.size() + 1) {
    *size = static_cast<DWORD>(value.size() + 1);
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(buffer, value.c_str(), value.size() + 1);
  *size = static_cast<DWORD>(value.size() + 1);
  return TRUE;
}

BOOL WINAPI WriteClient(HCONN conn, LPVOID buffer, LPDWORD bytes, DWORD) {
  auto* exchange = static_cast<Exchange*>(conn);
  std::lock_guard lock(exchange->mutex);
  if (exchange->write_error != 0) {
    SetLastError(exchange->write_error);
    return FALSE;
  }
  exchange->page.append(static_cast<const char*>(buffer), *bytes);
  return TRUE;
}

BOOL WINAPI ReadClient(HCONN, LPVOID, LPDWORD size) {
  *size = 0;
  return TRUE;
}

BOOL WINAPI ServerSupportFunction(HCONN conn, DWORD request, LPVOID buffer, LPDWORD, LPDWORD data) {
  auto* exchange = static_cast<Exchange*>(conn);
  std::lock_guard lock(exchange->mutex);
  switch (request) {
    case HSE_REQ_SEND_RESPONSE_HEADER:
      if (exchange->header_error != 0) {
        SetLastError(exchange->header_error);
        return FALSE;
      }
      exchange->statusLine = buffer != nullptr ? static_cast<const char*>(buffer) : "200 OK";
      exchange->headers = data != nullptr ? reinterpret_cast<const char*>(data) : "";
      return TRUE;
    case HSE_REQ_DONE_WITH_SESSION:
      exchange->done = true;
      exchange->finished.notify_all();
      return TRUE;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
  }
}

struct Page {
  DWORD status = 0;
  std::string headers;
  std::string body;
};

// The DLL loaded from a folder, as a web server loads it.
class LoadedModule {
 public:
  explicit LoadedModule(const std::string& folder) {
    module_ = LoadLibraryA((folder + "quorvix.dll").c_str());
    if (module_ == nullptr) return;
    getVersion_ = Find<PFN_GETEXTENSIONVERSION>("GetExtensionVersion");
    proc_ = Find<PFN_HTTPEXTENSIONPROC>("HttpExtensionProc");
    terminate_ = Find<PFN_TERMINATEEXTENSION>("TerminateExtension");
    HSE_VERSION_INFO version{};
    started_ = getVersion_ != nullptr && proc_ != nullptr && terminate_ != nullptr && getVersion_(&version);
    description_ = version.lpszExtensionDesc;
    versionNumber_ = version.dwExtensionVersion;
  }
  ~LoadedModule() { Unload(); }

  bool started() const { return started_; }
  const std::string& description() const { return description_; }
  DWORD version() const { return versionNumber_; }

  Page Call(const std::string& method, const std::string& text, DWORD header_error = 0, DWORD write_error = 0) {
    Exchange exchange;
    exchange.header_error = header_error;
    exchange.write_error = write_error;
    exchange.method = method;
    (method == "POST" ? exchange.body : exchange.query) = text;
    EXTENSION_CONTROL_BLOCK ecb{};
    ecb.cbSize = sizeof ecb;
    ecb.dwVersion = MAKELONG(0, 6);
    ecb.ConnID = &exchange;
    ecb.lpszMethod = exchange.method.data();
    ecb.lpszQueryString = exchange.query.data();
    ecb.lpszPathInfo = const_cast<LPSTR>("/webchat/quorvix.dll");
    ecb.lpszPathTranslated = const_cast<LPSTR>("C:\\inetpub\\webchat\\quorvix.dll");
    ecb.lpszContentType = const_cast<LPSTR>(method == "POST" ? "application/x-www-form-urlencoded" : "");
    ecb.cbTotalBytes = static_cast<DWORD>(exchange.body.size());
    ecb.cbAvailable = ecb.cbTotalBytes;
    ecb.lpbData = reinterpret_cast<LPBYTE>(exchange.body.data());
    ecb.GetServerVariable = &GetServerVariable;
    ecb.WriteClient = &WriteClient;
    ecb.ReadClient = &ReadClient;
    ecb.ServerSupportFunction = &ServerSupportFunction;
    const DWORD result = proc_(&ecb);
    std::unique_lock lock(exchange.mutex);
    if (result == HSE_STATUS_PENDING &&
        !exchange.finished.wait_for(lock, 60s, [&] { return exchange.done; })) {
      ADD_FAILURE() << "no answer to " << text;
    }
    return {ecb.dwHttpStatusCode, exchange.headers, exchange.page};
  }

  // TerminateExtension, then FreeLibrary at once, as a web server does.
  void Unload() {
    if (module_ == nullptr) return;
    if (terminate_ != nullptr) terminate_(HSE_TERM_MUST_UNLOAD);
    FreeLibrary(module_);
    module_ = nullptr;
  }

 private:
  template <typename F>
  F Find(const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
  }

  HMODULE module_ = nullptr;
  PFN_GETEXTENSIONVERSION getVersion_ = nullptr;
  PFN_HTTPEXTENSIONPROC proc_ = nullptr;
  PFN_TERMINATEEXTENSION terminate_ = nullptr;
  bool started_ = false;
  std::string description_;
  DWORD versionNumber_ = 0;
};

std::string Between(const std::string& text, const std::string& before, char end) {
  const auto at = text.find(before);
  if (at == std::string::npos) return {};
  const auto start = at + before.size();
  return text.substr(start, text.find(end, start) - start);
}

// A chat's value line ("error=...") of a chat answer; "<absent>" without one.
std::string Value(const std::string& page, const std::string& name) {
  const auto at = page.find("\n" + name + "=");
  if (at == std::string::npos) return "<absent>";
  const auto start = at + name.size() + 2;
  return page.substr(start, page.find_first_of("\r\n", start) - start);
}

struct SiteSettings {
  bool tls = false;
  bool crlf = false;                 // line ends of RAVO.ini
  std::string address = "127.0.0.1";  // of the back end; the TLS certificate names localhost and 127.0.0.1
  int min_tls_sockets = 2;
};

// Installs the DLL's folder with RAVO.ini for the back end whose TLS port the
// variable tls_port names, with the files of QX_CLIENT_CERTS named in
// client_certificates in its clientcerts\.
std::string Install(const std::string& name, const SiteSettings& settings, const char* tls_port = "QX_SIM_TLS_PORT",
                    const std::vector<std::string>& client_certificates = {}) {
  const std::string work = Environment("QX_WORK");
  const std::string folder = work + "\\" + name + "\\";
  const std::string site = Environment("QX_SITE");
  std::string command = "xcopy /E /I /Q /Y \"" + site + "\" \"" + folder + "\" >NUL";
  if (std::system(command.c_str()) != 0) return {};
  if (!client_certificates.empty() && !CreateDirectoryA((folder + "clientcerts").c_str(), nullptr)) return {};
  for (const auto& file : client_certificates) {
    if (!CopyFileA((Environment("QX_CLIENT_CERTS") + "\\" + file).c_str(), (folder + "clientcerts\\" + file).c_str(),
                   FALSE)) {
      return {};
    }
  }
  const char* end = settings.crlf ? "\r\n" : "\n";
  std::ostringstream ini;
  const std::string tls = settings.tls ? "true" : "false";
  for (const std::string& line : std::initializer_list<std::string>{"[WEBSETTINGS]", "DefaultLanguage=en", "GeneralError=GeneralError.htm", "ChatFrame=ChatFrame.htm",
        "JSChatControl=JSChatControl.htm", "JSDispatch=JSDispatch.htm", "TransferredTo=TransferredTo.htm",
        "AgentDisconnect=AgentDisconnect.htm", "CallMeConfirm=CallMeConfirm.htm", "ChatSummary=ChatSummary.htm",
        "WebCallbackRejected=WebCallbackRejected.htm", "WebCallbackNotAvailable=WebCallbackNotAvailable.htm",
        "WebCallbackConfirmed=WebCallbackConfirmed.htm", "WebCallback=WebCallback.htm", "Response=Response.vxml",
        "CaptureCallData=CaptureCallData.htm", "[VEKASETTINGS]",
        "Address=" + settings.address, "Port=" + Environment("QX_SIM_PORT"),
        "SSLPort=" + Environment(tls_port), "ChatUsesSSL=" + tls, "CallbackUsesSSL=" + tls,
        "VoiceXMLUsesSSL=" + tls, "MinSockets=2", "MaxSockets=10", "MinSSLSockets=" + std::to_string(settings.min_tls_sockets), "MaxSSLSockets=10",
        "DebugOutput=yes", "Password=demo-secret", "[DIAGSETTINGS]", "TIME_INTERVAL_SEC=1", "MAX_MEMORY=100",
        "THRESHOLD=104"}) {
    ini << line << end;
  }
  std::ofstream(folder + "RAVO.ini", std::ios::binary) << ini.str();
  return folder;
}

// The test CA among the trusted roots of this Wine prefix, as an operator adds
// a private CA to the machine's trusted roots; taken out again at the end.
class TrustedTestCa {
 public:
  TrustedTestCa() {
    const std::string pem = ReadFile(Environment("QX_TEST_CA"));
    DWORD size = 0;
    if (pem.empty() ||
        !CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
      return;
    }
    std::string der(size, '\0');
    if (!CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, reinterpret_cast<BYTE*>(der.data()), &size,
                              nullptr, nullptr)) {
      return;
    }
    root_ = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "ROOT");
    if (root_ == nullptr) return;
    // Committed at once, so that every other opening of the store sees it.
    if (CertAddEncodedCertificateToStore(root_, X509_ASN_ENCODING, reinterpret_cast<BYTE*>(der.data()), size,
                                         CERT_STORE_ADD_REPLACE_EXISTING, &added_)) {
      CertControlStore(root_, 0, CERT_STORE_CTRL_COMMIT, nullptr);
    }
  }
  ~TrustedTestCa() {
    if (added_ != nullptr) {
      CertDeleteCertificateFromStore(added_);  // frees the context too
      CertControlStore(root_, 0, CERT_STORE_CTRL_COMMIT, nullptr);
    }
    if (root_ != nullptr) CertCloseStore(root_, 0);
  }
  TrustedTestCa(const TrustedTestCa&) = delete;
  TrustedTestCa& operator=(const TrustedTestCa&) = delete;

  bool ok() const { return added_ != nullptr; }

 private:
  HCERTSTORE root_ = nullptr;
  PCCERT_CONTEXT added_ = nullptr;
};

class ExtensionUnderWineTest : public ::testing::TestWithParam<SiteSettings> {
 protected:
  // Wine starts a thread of its own on the first use of some services, and
  // keeps it: one load and unload before any count is taken.
  static void SetUpTestSuite() {
    LoadedModule module(Install("warm-up", SiteSettings{}));
    module.Call("GET", "varUserRequest=REQ_VXML_INITIALIZE&varUniqueID=w&varANI=1&varDNIS=2");
  }
};

// A chat, a callback request and a voice operation through the DLL, then its
// unload with nothing of it left running.
TEST_P(ExtensionUnderWineTest, ServesChatCallbackAndVoiceThenUnloadsCleanly) {
  const SiteSettings settings = GetParam();
  std::optional<TrustedTestCa> trusted;
  if (settings.tls) {
    ASSERT_TRUE(trusted.emplace().ok());
  }
  const std::string name = std::string(settings.tls ? "tls-" : "plain-") + (settings.crlf ? "crlf-" : "lf-") +
                           settings.address;
  const std::string folder = Install(name, settings);
  ASSERT_FALSE(folder.empty());
  const int threads_before = ThreadsOfThisProcess();
  int threads_loaded = 0;
  {
    LoadedModule module(folder);
    ASSERT_TRUE(module.started());
    EXPECT_EQ(module.description(), "TALVERO ISAPI Extension");
    EXPECT_EQ(module.version(), 0x00060000u);
    threads_loaded = ThreadsOfThisProcess();
    EXPECT_GT(threads_loaded, threads_before) << "the diagnostics thread runs";

    const Page start = module.Call("POST",
                                   "varUserRequest=REQ_JS_START&varCustomerName=Ann&varCaption=Question&"
                                   "varUserLanguage=en&varBusinessUnitName=Sales");
    EXPECT_EQ(start.status, 200u);
    EXPECT_NE(start.headers.find("Content-Type: text/html"), std::string::npos) << start.headers;
    const std::string session = Between(start.body, "data-session=\"", '"');
    ASSERT_FALSE(session.empty()) << start.body.substr(0, 400);
    EXPECT_NE(start.body.find("data-servlet=\"quorvix.dll\""), std::string::npos) << "the DLL's own file name";

    const Page said = module.Call("POST", "varUserRequest=REQ_ADD_TO_CHAT&varSessionID=" + session +
                                              "&varChatData=Hello+from+Windows&varIndexKey=0&varUserLanguage=en");
    EXPECT_EQ(said.status, 200u);
    EXPECT_EQ(Value(said.body, "error"), "") << said.body.substr(0, 300);

    bool seen = false;
    for (int poll = 0; poll < 40 && !seen; ++poll) {
      const Page delta = module.Call(
          "GET", "varUserRequest=REQ_DELTA_CHAT&varSessionID=" + session + "&varIndexKey=0&varUserLanguage=en");
      ASSERT_EQ(Value(delta.body, "error"), "") << delta.body.substr(0, 300);
      seen = delta.body.find("Hello from Windows") != std::string::npos;
    }
    EXPECT_TRUE(seen) << "the chat line came back in the transcript";

    const Page callback = module.Call(
        "GET", "varUserRequest=REQ_CALLBACK_AVAILABILITY&varUserLanguage=en&varBusinessUnitName=Sales");
    EXPECT_EQ(callback.status, 200u);
    EXPECT_NE(callback.body.find("id=\"callback-request\""), std::string::npos) << callback.body.substr(0, 300);
    EXPECT_NE(callback.body.find("<OPTION value='S-ORDER'"), std::string::npos);

    const Page voice = module.Call("GET", "varUserRequest=REQ_VXML_INITIALIZE&varUniqueID=u&varANI=1&varDNIS=2");
    EXPECT_EQ(voice.status, 200u);
    EXPECT_NE(voice.body.find("name=\"returnCode\" expr=\"'0'\""), std::string::npos) << voice.body.substr(0, 400);

    const Page unknown = module.Call("GET", "varUserRequest=REQ_NO_SUCH_THING&varUserLanguage=en");
    EXPECT_NE(unknown.body.find("1010"), std::string::npos) << "the error page names the code";

    module.Unload();
  }
  EXPECT_EQ(GetModuleHandleA("quorvix.dll"), nullptr) << "the DLL is gone from the process";
  // Wine's own pool threads, which the system calls may have started, end
  // after a few idle seconds; a thread of the module would run on in
  // unmapped code and take the process down.
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (ThreadsOfThisProcess() > threads_before && std::chrono::steady_clock::now() < deadline) Sleep(50);
  EXPECT_EQ(ThreadsOfThisProcess(), threads_before) << "no thread of the module outlives FreeLibrary";

  // The trace: written in text mode, so every line ends in CR LF and no
  // line end is doubled; the start line names the folder with backslashes.
  const std::string trace = ReadFile(folder + "debug.txt");
  ASSERT_FALSE(trace.empty());
  EXPECT_EQ(trace.find("\r\r\n"), std::string::npos);
  std::size_t bare = 0;
  for (std::size_t i = 0; i < trace.size(); ++i) bare += trace[i] == '\n' && (i == 0 || trace[i - 1] != '\r');
  EXPECT_EQ(bare, 0u) << "line feeds without a carriage return";
  EXPECT_NE(trace.find("ISAPI DLL started at "), std::string::npos);
  EXPECT_NE(trace.find(" from " + folder + "\r\n"), std::string::npos) << trace.substr(0, 300);
  if (settings.tls) {
    EXPECT_NE(trace.find("Starting SSL socket pool"), std::string::npos);
    EXPECT_EQ(trace.find("PerformClientHandshake failed"), std::string::npos);
  }
}

// A back end the module cannot trust, or that speaks neither TLS 1.0 nor 1.2,
// gets no connection; the trace says why, with the status the Linux build
// reports. The untrusted root runs in a
// process of its own, before any test trusted the CA: the system's chain
// engine keeps the roots it has seen.
struct RefusedBackEnd {
  const char* name;
  bool ca_trusted;
  SiteSettings site;
  const char* tls_port;
  const char* reason;  // of the trace line
};

const RefusedBackEnd kRefusedBackEnds[] = {
    {"UntrustedRoot", false, {true, true, "localhost"}, "QX_SIM_TLS_PORT",
     "The certificate chain was issued by an untrusted authority(-2146893019)."},
    {"WrongHostName", true, {true, true, "localhost"}, "QX_WRONG_NAME_TLS_PORT",
     "The target principal name is incorrect(-2146893022)."},
    {"WrongAddress", true, {true, false, "127.0.0.1"}, "QX_WRONG_NAME_TLS_PORT",
     "The target principal name is incorrect(-2146893022)."},
    {"Tls11Only", true, {true, false, "localhost"}, "QX_TLS11_TLS_PORT", "error=-2146893054"},
    {"Tls13Only", true, {true, false, "localhost"}, "QX_TLS13_TLS_PORT", "error=-2146893054"},
};

class RefusedBackEndTest : public ::testing::TestWithParam<RefusedBackEnd> {};

TEST_P(RefusedBackEndTest, GetsNoConnection) {
  const RefusedBackEnd& refused = GetParam();
  std::optional<TrustedTestCa> trusted;
  if (refused.ca_trusted) {
    ASSERT_TRUE(trusted.emplace().ok());
  }
  const std::string folder = Install(std::string("refused-") + refused.name, refused.site, refused.tls_port);
  ASSERT_FALSE(folder.empty());
  {
    // The pool's first connections are made at the start.
    LoadedModule module(folder);
    ASSERT_TRUE(module.started());
  }
  const std::string trace = ReadFile(folder + "debug.txt");
  EXPECT_NE(trace.find(std::string("TSecureSocket::Connect: PerformClientHandshake failed. ") + refused.reason + "\r\n"),
            std::string::npos)
      << trace.substr(0, 2000);
  EXPECT_EQ(trace.find("Create Successfull"), std::string::npos) << "no connection was made";
  // The last report tries the back end until the stop's deadline: its thread
  // must still end before the DLL goes.
  EXPECT_EQ(trace.find("did not end within"), std::string::npos) << trace.substr(0, 3000);
}

INSTANTIATE_TEST_SUITE_P(BackEnds, RefusedBackEndTest, ::testing::ValuesIn(kRefusedBackEnds),
                         [](const auto& row) { return std::string(row.param.name); });

// A TLS server on loopback that answers every client with the head of a 16 KB
// handshake record and then one byte of it every 200 ms, for up to 40 s.
class DrippingServer {
 public:
  DrippingServer() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return;
    started_ = true;
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (listener_ == INVALID_SOCKET || bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 8) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return;
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] {
      // Looks for connections a moment at a time, to see the end come.
      while (!Stopping()) {
        fd_set waiting;
        FD_ZERO(&waiting);
        FD_SET(listener_, &waiting);
        timeval moment{0, 100000};
        if (select(0, &waiting, nullptr, nullptr, &moment) != 1) continue;
        const SOCKET client = accept(listener_, nullptr, nullptr);
        if (client != INVALID_SOCKET) drips_.emplace_back([this, client] { Drip(client); });
      }
    });
  }
  ~DrippingServer() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    stop_.notify_all();
    if (acceptor_.joinable()) acceptor_.join();
    for (auto& drip : drips_) drip.join();
    if (listener_ != INVALID_SOCKET) closesocket(listener_);
    if (started_) WSACleanup();
  }
  DrippingServer(const DrippingServer&) = delete;
  DrippingServer& operator=(const DrippingServer&) = delete;

  int port() const { return port_; }

 private:
  bool Stopping() {
    std::lock_guard lock(mutex_);
    return stopping_;
  }
  void Drip(SOCKET client) {
    const char head[] = {0x16, 0x03, 0x03, 0x40, 0x00};
    bool open = send(client, head, sizeof head, 0) == sizeof head;
    const auto end = std::chrono::steady_clock::now() + 40s;
    std::unique_lock lock(mutex_);
    while (open && !stop_.wait_for(lock, 200ms, [this] { return stopping_; }) &&
           std::chrono::steady_clock::now() < end) {
      open = send(client, "\x02", 1, 0) == 1;
    }
    closesocket(client);
  }

  bool started_ = false;
  SOCKET listener_ = INVALID_SOCKET;
  int port_ = 0;
  std::thread acceptor_;
  std::vector<std::thread> drips_;
  std::mutex mutex_;
  std::condition_variable stop_;
  bool stopping_ = false;
};

// The TCP connect and the TLS handshake share the connect's limit (10 s):
// each wait of a handshake fed a byte at a time never runs out by itself.
TEST(DrippingBackEndTest, TheHandshakeEndsAtTheConnectLimit) {
  DrippingServer server;
  ASSERT_NE(server.port(), 0);
  ASSERT_EQ(_putenv_s("QX_DRIPPING_TLS_PORT", std::to_string(server.port()).c_str()), 0);
  SiteSettings site{true, false, "localhost"};
  site.min_tls_sockets = 1;
  const std::string folder = Install("dripping", site, "QX_DRIPPING_TLS_PORT");
  ASSERT_FALSE(folder.empty());
  const auto start = std::chrono::steady_clock::now();
  {
    // The start makes the pool's one TLS connection.
    LoadedModule module(folder);
    ASSERT_TRUE(module.started());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
  }
  const std::string trace = ReadFile(folder + "debug.txt");
  EXPECT_NE(trace.find("TSecureSocket::Connect: PerformClientHandshake failed. error=10060\r\n"), std::string::npos)
      << trace.substr(0, 2000);
}

// The web server's callbacks fail as a Windows web server's do, with the
// reason in GetLastError: the visitor's status becomes 500 and the trace names
// the reason; a client that went away (10054) as the headers go out is no
// failure of the module's.
struct CallbackFailure {
  const char* name;
  DWORD header_error;
  DWORD write_error;
  DWORD status;
  const char* trace;  // null: no failure traced
};

const CallbackFailure kCallbackFailures[] = {
    {"HeadersRefused", ERROR_NETNAME_DELETED, 0, 500, "AsyncThreadProc: Unable to write headers, Win32 rc=64\r\n"},
    {"BodyRefused", 0, ERROR_NETNAME_DELETED, 500, "AsyncThreadProc: Unable to write body, Win32 rc=64\r\n"},
    {"ClientGoneAsTheHeadersGoOut", 10054 /* WSAECONNRESET */, 0, 200, nullptr},
};

class CallbackFailureTest : public ::testing::TestWithParam<CallbackFailure> {};

TEST_P(CallbackFailureTest, IsReadFromTheLastError) {
  const CallbackFailure& c = GetParam();
  const std::string folder = Install(std::string("failing-") + c.name, SiteSettings{});
  ASSERT_FALSE(folder.empty());
  {
    LoadedModule module(folder);
    ASSERT_TRUE(module.started());
    const Page voice = module.Call("GET", "varUserRequest=REQ_VXML_INITIALIZE&varUniqueID=f&varANI=1&varDNIS=2",
                                   c.header_error, c.write_error);
    EXPECT_EQ(voice.status, c.status);
  }
  const std::string trace = ReadFile(folder + "debug.txt");
  if (c.trace != nullptr) {
    EXPECT_NE(trace.find(c.trace), std::string::npos) << trace.substr(0, 3000);
  } else {
    EXPECT_EQ(trace.find("Unable to write"), std::string::npos) << trace.substr(0, 3000);
  }
}

INSTANTIATE_TEST_SUITE_P(Callbacks, CallbackFailureTest, ::testing::ValuesIn(kCallbackFailures),
                         [](const auto& row) { return std::string(row.param.name); });

// A back end that asks for a client certificate from client CA b (its output,
// QX_ASKING_LOG, names the one it was shown on each TLS connection), and a
// clientcerts\ folder with none of that CA and a file without its key: the
// exchange goes on without a certificate, and the trace names the useless
// file as the Linux build does. (Wine's Schannel never asks its caller for
// client credentials, so the choice by issuer is shown by
// ClientCertificateStoreTest, the certificate's going out by the Linux build.)
TEST(ClientCertificatesUnderWineTest, NoneFitsAndTheExchangeGoesOnWithout) {
  TrustedTestCa trusted;
  ASSERT_TRUE(trusted.ok());
  const std::string folder = Install("client-certificates", SiteSettings{true, false, "localhost"},
                                     "QX_ASKING_TLS_PORT", {"client-a.pfx", "a-no-key.pfx"});
  ASSERT_FALSE(folder.empty());
  const std::string log = Environment("QX_ASKING_LOG");
  const std::size_t seen_before = ReadFile(log).size();
  {
    LoadedModule module(folder);
    ASSERT_TRUE(module.started());
    const Page start = module.Call("POST",
                                   "varUserRequest=REQ_JS_START&varCustomerName=Ann&varCaption=Question&"
                                   "varUserLanguage=en&varBusinessUnitName=Sales");
    EXPECT_EQ(start.status, 200u);
    EXPECT_FALSE(Between(start.body, "data-session=\"", '"').empty()) << start.body.substr(0, 400);
  }
  std::istringstream lines(ReadFile(log).substr(seen_before));
  int connections = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("tls conn=", 0) != 0) continue;
    ++connections;
    EXPECT_NE(line.find(" client=-"), std::string::npos) << line;
  }
  EXPECT_GT(connections, 0);
  const std::string trace = ReadFile(folder + "debug.txt");
  EXPECT_EQ(trace.find("PerformClientHandshake failed"), std::string::npos) << trace.substr(0, 2000);
  EXPECT_NE(trace.find("ClientCertificates: a-no-key.pfx is left out: no certificate with its key in " + folder +
                       "clientcerts\\\r\n"),
            std::string::npos)
      << trace.substr(0, 2000);
  EXPECT_EQ(trace.find(": client-a.pfx is left out"), std::string::npos);
}

std::string Describe(const ::testing::TestParamInfo<SiteSettings>& info) {
  std::string name = std::string(info.param.tls ? "Tls" : "Plain") + (info.param.crlf ? "CrLf" : "Lf");
  for (const char c : info.param.address) {
    if (std::isalnum(static_cast<unsigned char>(c))) name.push_back(c);
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Sites, ExtensionUnderWineTest,
                         ::testing::Values(SiteSettings{false, false, "127.0.0.1"},
                                           SiteSettings{false, true, "127.0.0.1"},
                                           SiteSettings{true, true, "localhost"},
                                           SiteSettings{true, false, "127.0.0.1"}),
                         Describe);

}  // namespace
