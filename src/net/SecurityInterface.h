// Loading and unloading the TLS layer the secure sockets are made with:
// OpenSSL on Linux (net/TlsContext.h), Schannel on Windows.
//
// Threads: both run while no secure socket is being made (at start and
// unload). Loads are counted: the layer lives from the first load to the last
// unload.
#pragma once

#include <string>

namespace net {

// Readies the TLS layer on the first call (with the client certificates of
// client_certificate_folder) and starts the network library. False when
// either failed; nothing is then counted.
[[nodiscard]] bool LoadSecurityInterface(const std::string& client_certificate_folder);
// Undoes one successful load; the layer goes with the last one.
void UnloadSecurityInterface();

}  // namespace net
