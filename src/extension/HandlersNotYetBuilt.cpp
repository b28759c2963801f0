// Handlers of subsystems that are not built yet. Each answers the request with
// an empty page, so that dispatch, start and stop can run end to end; each
// moves to its subsystem's folder with its real body.
#include "extension/RAVO.h"

int CRAVOExtension::REQ_WEB_CALLBACK_AVAILABILITY(CHttpServerContext*, const std::string&,
                                                  const std::string&) {
  return 0;
}

int CRAVOExtension::REQ_WEB_CALLBACK(CHttpServerContext*, const std::string&, const std::string&,
                                     const std::string&, const std::string&, const std::string&,
                                     const std::string&, const std::string&, const std::string&,
                                     const std::string&) {
  return 0;
}

