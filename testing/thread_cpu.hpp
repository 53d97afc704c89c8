// The processor time of a process's threads, as the kernel accounts it: for the checks that
// an idle pool uses none (tests and tools/profile-pool).
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace vexo::testing {

// utime + stime of one thread, in clock ticks (sysconf(_SC_CLK_TCK) a second), from
// /proc/self/task/TID/stat; 0 if the thread is gone.
inline long thread_cpu_ticks(const std::string& tid) {
    std::ifstream stat("/proc/self/task/" + tid + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The name, field 2, is in parentheses and may hold blanks; field 3 follows the last
    // ')'. utime and stime are fields 14 and 15.
    std::size_t at = text.rfind(')');
    if (at == std::string::npos) return 0;
    for (int field = 2; field < 14 && at != std::string::npos; ++field) at = text.find(' ', at + 1);
    if (at == std::string::npos) return 0;
    char* end = nullptr;
    const long utime = std::strtol(text.c_str() + at + 1, &end, 10);
    const long stime = std::strtol(end, nullptr, 10);
    return utime + stime;
}

// The ticks of every thread of this process but the calling one; -1 without /proc.
inline long other_threads_cpu_ticks() {
    DIR* tasks = ::opendir("/proc/self/task");
    if (tasks == nullptr) return -1;
    const std::string self = std::to_string(::gettid());
    long total = 0;
    while (const dirent* entry = ::readdir(tasks)) {
        const std::string tid = entry->d_name;
        if (tid != "." && tid != ".." && tid != self) total += thread_cpu_ticks(tid);
    }
    ::closedir(tasks);
    return total;
}

}  // namespace vexo::testing
