// The configuration checker: reads a site folder's RAVO.ini with the
// module's own settings code and reports what would go wrong when the module
// runs from that folder. Reads files only; writes nothing, starts nothing.
#pragma once

#include <string>

#include "check/Findings.h"

namespace check {

// Checks the site folder (the folder of the module, RAVO.ini, html/, vxml/).
// Any content of any file gives findings, never a failure of its own.
Report CheckSite(const std::string& site_folder);

}  // namespace check
