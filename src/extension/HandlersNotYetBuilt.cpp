// Handlers of subsystems that are not built yet. Each answers the request with
// an empty page, so that dispatch, start and stop can run end to end; each
// moves to its subsystem's folder with its real body.
#include "extension/RAVO.h"

int CRAVOExtension::REQ_VXML(CHttpServerContext*, std::string_view, std::span<const std::string>,
                             const std::string&) {
  return 0;
}

