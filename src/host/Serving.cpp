#include "host/Serving.h"

#include "host/StaticFiles.h"

namespace host {

Serving::Serving(const HostOptions& host_options, ExtensionModule& extension_module, unsigned max_connections,
                 unsigned short port, std::size_t loops)
    : options(host_options),
      module(extension_module),
      static_folder(StaticFolderFor(host_options.module_path)),
      module_target("/" + host_options.app + "/" + extension_module.FileName()),
      static_prefix("/" + host_options.app + "/static/"),
      server{host_options.listen_address, port},
      connections({max_connections, host_options.max_connections_per_address, host_options.trusted_proxies}),
      connections_by_loop(loops) {}

}  // namespace host
