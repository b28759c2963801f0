// Error pages answered, by the code they show: they go out with status 200,
// so a host's metrics can only count them through the module. The table is
// fixed, so whatever codes a back end sends, the counts stay bounded.
#pragma once

#include <cstdint>
#include <string_view>

#include "isapi/httpext.h"

namespace pages {

// Counts one error page showing code. Safe from any thread.
void CountErrorPage(std::string_view code);

// The name code is counted and logged under: itself when it is a code of one
// to six digits, else "other" (a back end's text never reaches a log line).
void ErrorPageLabel(std::string_view code, char (&label)[8]);

// The counts so far, as GetErrorPageCountsEntry hands them out.
std::uint32_t CopyErrorPageCounts(QX_ERROR_PAGE_COUNT* counts, std::uint32_t capacity);

}  // namespace pages
