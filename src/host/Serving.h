// What every connection of one host shares: its settings, its module, where
// it serves what, its limits and counts, and the connections each loop has
// open (for the shutdown).
//
// Threads: the settings are read-only once serving starts; the atomics from
// any thread; connections_by_loop[i] only on loop i.
#pragma once

#include <atomic>
#include <string>
#include <unordered_set>
#include <vector>

#include "host/ExtensionModule.h"
#include "host/HostOptions.h"
#include "host/OpenConnections.h"
#include "host/ServerVariables.h"
#include "host/ShardedCount.h"

namespace host {

class Connection;

struct Serving {
  Serving(const HostOptions& host_options, ExtensionModule& extension_module, unsigned max_connections,
          unsigned short port, std::size_t loops);

  const HostOptions options;
  ExtensionModule& module;
  const std::string static_folder;  // "static/" beside the module
  const std::string module_target;  // "/<app>/<module file>"
  const std::string static_prefix;  // "/<app>/static/"
  const ServerAddress server;
  OpenConnections connections;
  std::atomic<bool> shutting_down{false};
  // Connections with a request between its head and the end of its answer.
  ShardedCount busy;
  // Requests held now, the module's answer pending.
  std::atomic<int> held{0};
  std::vector<std::unordered_set<Connection*>> connections_by_loop;
};

}  // namespace host
