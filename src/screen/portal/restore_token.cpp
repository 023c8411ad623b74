#include "screen/portal/restore_token.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "base/write_all.h"

namespace vemo::screen {
namespace {

// Tokens are UUIDs in practice; anything far longer is not one of ours.
constexpr std::size_t kMaxTokenBytes = 1024;

bool IsTokenText(const std::string& text) {
    if (text.empty() || text.size() > kMaxTokenBytes) return false;
    for (const char c : text) {
        if (c <= ' ' || c > '~') return false;
    }
    return true;
}

std::string ErrnoText(int error) {
    return std::strerror(error);
}

// Creates every missing folder of `dir` with mode 0700, as the base-directory
// rules ask of the state folder.
bool MakeFolders(const std::string& dir, std::string& error) {
    for (std::size_t end = dir.find('/', 1);; end = dir.find('/', end + 1)) {
        const std::string part = dir.substr(0, end);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "cannot create the folder " + part + ": " + ErrnoText(errno);
            return false;
        }
        if (end == std::string::npos) break;
    }
    struct stat info {};
    if (::stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        error = dir + " is not a folder";
        return false;
    }
    return true;
}

}  // namespace

std::string RestoreTokenPath() {
    const char* state = std::getenv("XDG_STATE_HOME");
    std::string base;
    if (state != nullptr && state[0] == '/') {
        base = state;
    } else {
        const char* home = std::getenv("HOME");
        if (home == nullptr || home[0] != '/') return {};
        base = std::string(home) + "/.local/state";
    }
    return base + "/vemo/screencast-token";
}

std::string ReadRestoreToken(const std::string& path) {
    if (path.empty()) return {};
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd) return {};
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return {};
    std::string text(kMaxTokenBytes + 2, '\0');
    std::size_t size = 0;
    while (size < text.size()) {
        const ssize_t n = ::read(fd.get(), text.data() + size, text.size() - size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        size += static_cast<std::size_t>(n);
    }
    text.resize(size);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return IsTokenText(text) ? text : std::string();
}

bool WriteRestoreToken(const std::string& path, const std::string& token, std::string& error) {
    if (!IsTokenText(token)) {
        error = "the screen-cast portal returned a restore token that cannot be kept";
        return false;
    }
    const std::size_t slash = path.rfind('/');
    if (path.empty() || slash == std::string::npos || slash == 0) {
        error = "there is no folder to keep the screen-cast restore token in (HOME is not set)";
        return false;
    }
    const std::string dir = path.substr(0, slash);
    if (!MakeFolders(dir, error)) return false;

    std::string temp_name = path + ".XXXXXX";
    // mkstemp creates the file with mode 0600.
    UniqueFd fd(::mkostemp(temp_name.data(), O_CLOEXEC));
    if (!fd) {
        error = "cannot create " + temp_name + ": " + ErrnoText(errno);
        return false;
    }
    const bool written =
        ::fchmod(fd.get(), 0600) == 0 && WriteAll(fd.get(), token + "\n") && ::fsync(fd.get()) == 0;
    const int write_errno = errno;
    if (!fd.Close() || !written) {
        error = "cannot write " + temp_name + ": " + ErrnoText(written ? errno : write_errno);
        ::unlink(temp_name.c_str());
        return false;
    }
    if (::rename(temp_name.c_str(), path.c_str()) != 0) {
        error = "cannot replace " + path + ": " + ErrnoText(errno);
        ::unlink(temp_name.c_str());
        return false;
    }
    return true;
}

}  // namespace vemo::screen
