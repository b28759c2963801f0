#include "host/DescriptorLimits.h"

#include <sys/resource.h>

#include <algorithm>

namespace host {
namespace {

// Enough for two full back-end pools, the module's files and the library's
// threads; a quarter of a small limit.
constexpr unsigned long kReserve = 512;
constexpr unsigned long kMinimumReserve = 32;

}  // namespace

unsigned long RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur == RLIM_INFINITY ? 1UL << 20 : limit.rlim_cur;
}

unsigned ConnectionsWithin(unsigned long descriptor_limit) {
  const unsigned long reserve = std::clamp(descriptor_limit / 4, kMinimumReserve, kReserve);
  if (descriptor_limit <= reserve) return 1;
  return static_cast<unsigned>(std::min(descriptor_limit - reserve, 1UL << 20));
}

unsigned EffectiveConnectionLimit(unsigned requested, unsigned long descriptor_limit, std::string& note) {
  const unsigned fits = ConnectionsWithin(descriptor_limit);
  if (requested == 0) return fits;
  if (requested <= fits) return requested;
  note = "--max-connections " + std::to_string(requested) + " does not fit the limit of " +
         std::to_string(descriptor_limit) + " open files; holding at most " + std::to_string(fits);
  return fits;
}

}  // namespace host
