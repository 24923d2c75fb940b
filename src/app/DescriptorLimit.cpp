#include "app/DescriptorLimit.h"

#include <sys/resource.h>

#include <algorithm>
#include <limits>

#include "app/ServerLimits.h"

namespace zorvic {

namespace {

long AsLong(rlim_t value) {
  if (value == RLIM_INFINITY || value > static_cast<rlim_t>(std::numeric_limits<long>::max()))
    return std::numeric_limits<long>::max();
  return static_cast<long>(value);
}

}  // namespace

cDescriptorLimit RaiseDescriptorLimit(long wanted) {
  cDescriptorLimit result;
  result.Wanted = wanted;
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return result;
  result.Before = result.Granted = AsLong(limit.rlim_cur);
  if (result.Granted >= wanted) return result;
  const rlim_t want = static_cast<rlim_t>(wanted);
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < want) {
    // Only a privileged process may raise its hard limit; try, and fall back quietly.
    rlimit raised{want, want};
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) {
      result.Granted = wanted;
      return result;
    }
  }
  rlimit soft = limit;
  soft.rlim_cur = limit.rlim_max == RLIM_INFINITY ? want : std::min(limit.rlim_max, want);
  if (::setrlimit(RLIMIT_NOFILE, &soft) == 0) result.Granted = AsLong(soft.rlim_cur);
  return result;
}

std::string DescriptorLimitWarning(const cDescriptorLimit& limit) {
  if (limit.Enough()) return {};
  return "Warning: the open-file limit is " + std::to_string(limit.Granted) + ", below the " +
         std::to_string(limit.Wanted) + " that " + std::to_string(kThreadCacheSize) +
         " sessions with open mailboxes need; raise the hard limit (LimitNOFILE=, ulimit -Hn)"
         " to serve that many";
}

}  // namespace zorvic
