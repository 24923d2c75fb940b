// The open-file limit: raised at start to what kThreadCacheSize sessions with open mailboxes
// need (kWantedDescriptors), or as far as the hard limit allows.
//
// A process allowed to raise its hard limit (CAP_SYS_RESOURCE) raises both limits to the
// wanted value; otherwise the soft limit goes up to the hard limit. When the result stays
// below the wanted value, DescriptorLimitWarning gives the text for standard error and the log.
//
// Thread safety: RaiseDescriptorLimit runs on the main thread at start, before other threads.
#pragma once

#include <string>

namespace zorvic {

struct cDescriptorLimit {
  long Wanted = 0;   // what the server asked for
  long Before = 0;   // the soft limit at start
  long Granted = 0;  // the soft limit now
  bool Enough() const { return Granted >= Wanted; }
};

cDescriptorLimit RaiseDescriptorLimit(long wanted);

// "" when the limit is enough; otherwise one line naming both numbers and what to do.
std::string DescriptorLimitWarning(const cDescriptorLimit& limit);

}  // namespace zorvic
