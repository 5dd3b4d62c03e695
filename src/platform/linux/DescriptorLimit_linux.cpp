#include "common/DescriptorLimit.h"

#include <dirent.h>
#include <sys/resource.h>

namespace nerova {

namespace {

std::int64_t openDescriptors()
{
    DIR* directory = ::opendir("/proc/self/fd");
    if (!directory) {
        return 0;
    }
    std::int64_t count = 0;
    while (const dirent* entry = ::readdir(directory)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    ::closedir(directory);
    return count - 1; // the listing's own descriptor
}

} // namespace

std::int64_t raiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return 0;
    }
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            limit = raised;
        }
    }
    return limit.rlim_cur == RLIM_INFINITY ? INT64_MAX : std::int64_t(limit.rlim_cur);
}

std::int64_t descriptorsLeft()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return INT64_MAX;
    }
    return std::int64_t(limit.rlim_cur) - openDescriptors();
}

} // namespace nerova
