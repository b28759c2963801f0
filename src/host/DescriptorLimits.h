// How many connections the host can hold: every connection is a descriptor,
// and the module needs descriptors too (its back-end pools, its trace, the
// templates it opens), as does the library (an event descriptor and a wake-up
// descriptor per thread). Running out makes accept fail in a loop and the
// module fail at random, so the host stops taking connections well before.
#pragma once

#include <string>

namespace host {

// Raises the process's soft limit on open descriptors to its hard limit;
// returns the soft limit in force afterwards.
unsigned long RaiseDescriptorLimit();

// Connections the host may hold under descriptor_limit, leaving a reserve.
unsigned ConnectionsWithin(unsigned long descriptor_limit);

// The connection limit to use: requested (0: as many as fit), at most what
// fits. note says why a request was lowered.
unsigned EffectiveConnectionLimit(unsigned requested, unsigned long descriptor_limit, std::string& note);

}  // namespace host
