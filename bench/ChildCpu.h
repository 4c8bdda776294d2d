#pragma once

#include <dirent.h>
#include <fstream>
#include <string>
#include <sys/types.h>

// Time on a CPU of every thread of another process, user and system, in seconds, from the
// scheduler's nanosecond counts (finer than the clock ticks of /proc/PID/stat); -1 when the
// process cannot be read. For the benchmarks that run the program as a child.
inline double childCpuSeconds(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* directory = ::opendir(tasks.c_str());
    if (directory == nullptr) {
        return -1;
    }
    double seconds = 0;
    while (const dirent* entry = ::readdir(directory)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        std::ifstream file(tasks + "/" + entry->d_name + "/schedstat");
        unsigned long long onCpuNs = 0;
        file >> onCpuNs;
        seconds += static_cast<double>(onCpuNs) * 1e-9;
    }
    ::closedir(directory);
    return seconds;
}
