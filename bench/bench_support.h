#pragma once

// What the benchmarks share: the working directory an engine runs in, and
// what they read of processes from /proc (CPU seconds, child processes by
// command).

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

namespace vemo::bench {

// A working directory named `prefix` and the process id below the temporary
// folder, with vemo/ and the status pictures of `bak` in vemo/bak/, made the
// current directory (its settings file too) on the first call and kept for
// the whole run.
inline const std::filesystem::path& WorkDir(const std::string& prefix,
                                            const std::filesystem::path& bak) {
    namespace fs = std::filesystem;
    static const fs::path dir = [&] {
        fs::path made = fs::temp_directory_path() / (prefix + std::to_string(getpid()));
        fs::create_directories(made / "vemo/bak");
        for (const auto& entry : fs::directory_iterator(bak)) {
            fs::copy_file(entry.path(), made / "vemo/bak" / entry.path().filename(),
                          fs::copy_options::overwrite_existing);
        }
        fs::current_path(made);
        setenv("VEMO_SETTINGS_FILE", (made / "settings.ini").c_str(), 1);
        return made;
    }();
    return dir;
}

// The CPU seconds a /proc stat file (a process's or a thread's) counts;
// negative when unknown.
inline double StatCpuSeconds(const std::string& path) {
    std::ifstream stat(path);
    std::string text;
    std::getline(stat, text);
    // Fields after the command's closing parenthesis: utime and stime are
    // the 12th and 13th of them.
    const std::size_t end = text.rfind(')');
    if (end == std::string::npos) return -1;
    std::istringstream fields(text.substr(end + 2));
    std::string field;
    long long ticks = 0;
    for (int i = 1; i <= 13 && fields >> field; ++i) {
        if (i >= 12) ticks += std::atoll(field.c_str());
    }
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The CPU seconds process `pid` has used; negative when unknown.
inline double ProcessCpuSeconds(pid_t pid) {
    return StatCpuSeconds("/proc/" + std::to_string(pid) + "/stat");
}

// The child process of this one running `command`; -1 when there is none.
inline pid_t ChildRunning(const std::string& command) {
    std::unique_ptr<DIR, int (*)(DIR*)> proc(opendir("/proc"), closedir);
    if (!proc) return -1;
    while (const dirent* entry = readdir(proc.get())) {
        const pid_t pid = std::atoi(entry->d_name);
        if (pid <= 0) continue;
        std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
        std::string text;
        std::getline(stat, text);
        const std::size_t open = text.find('('), close = text.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        std::istringstream rest(text.substr(close + 2));
        std::string state;
        pid_t parent = 0;
        rest >> state >> parent;
        if (parent == getpid() && text.substr(open + 1, close - open - 1) == command) return pid;
    }
    return -1;
}

}  // namespace vemo::bench
