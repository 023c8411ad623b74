// The settings store: one small INI file, laid out as QSettings writes it
// (the values as "name=decimal" lines of the [General] section, QSettings'
// top level), so QSettings and people can read and edit it.
//
// The store reads and writes the file itself rather than through QSettings,
// because QSettings keeps a process-wide cache of every file it has read:
// it trusts the cache while the file's size and modification time (in
// milliseconds) look unchanged, so a same-size value written by another
// process in the same millisecond is never seen, and its next write puts the
// stale values back; and a write that failed stays pending in the cache,
// where later reads return the unsaved value and later syncs retry it. Here
// every call opens the file, does its one value and closes it, and nothing
// outlives the call.
//
// A write replaces the whole file through a temporary file in the same
// directory, flushed and then renamed over the old one, so a reader sees the
// old file or the new one and never a part of either. Writers of one file take
// an exclusive flock on its directory for the read-modify-rename, so two
// processes writing different values at once both keep theirs.

#include "settings/settings_store.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <utility>
#include <vector>

#include "base/unique_fd.h"
#include "base/write_all.h"

namespace vemo {
namespace {

// A settings file is a few hundred bytes; anything far larger is not one, and
// is neither read nor overwritten.
constexpr std::size_t kMaxFileSize = std::size_t{1} << 20;

// How long a writer waits for another writer of the same file. A lock that
// cannot be had in time (a stopped process, a filesystem without flock) does
// not stop the write, which stays atomic; only a concurrent writer's value
// could then be lost.
constexpr auto kLockWait = std::chrono::seconds(2);

// A temporary file that is removed again unless it was renamed into place.
class TemporaryName {
  public:
    explicit TemporaryName(std::string path) : path_(std::move(path)) {}
    ~TemporaryName() {
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    TemporaryName(const TemporaryName&) = delete;
    TemporaryName& operator=(const TemporaryName&) = delete;

    const std::string& path() const { return path_; }
    void Keep() { path_.clear(); }

  private:
    std::string path_;
};

const SettingInfo* FindById(SettingId id) {
    const auto it = std::find_if(kSettingsTable.begin(), kSettingsTable.end(),
                                 [id](const SettingInfo& info) { return info.id == id; });
    return it != kSettingsTable.end() ? &*it : nullptr;
}

std::string_view Trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

std::vector<std::string_view> SplitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const auto end = text.find('\n');
        lines.push_back(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    }
    return lines;
}

bool IsSectionHeader(std::string_view line) {
    return !line.empty() && line.front() == '[';
}

// Keys before the first header and keys under [General] (any case) are the
// top level, as QSettings reads them; other sections are left alone.
bool IsTopLevelHeader(std::string_view line) {
    std::string_view name = line.substr(1);
    name = Trim(name.substr(0, name.find(']')));
    static constexpr std::string_view kGeneral = "general";
    return std::equal(name.begin(), name.end(), kGeneral.begin(), kGeneral.end(),
                      [](char a, char b) { return (a | 0x20) == b; });
}

// The text of `name` on a "name = value ; comment" line, if the line sets it.
std::optional<std::string_view> ValueOn(std::string_view line, std::string_view name) {
    const auto equals = line.find('=');
    if (equals == std::string_view::npos || Trim(line.substr(0, equals)) != name) {
        return std::nullopt;
    }
    const std::string_view value = line.substr(equals + 1);
    return Trim(value.substr(0, value.find(';')));
}

// The last top-level value of `name` in the file, as QSettings would take it.
std::optional<std::string_view> FindValue(std::string_view content, std::string_view name) {
    std::optional<std::string_view> found;
    bool top_level = true;
    for (const std::string_view raw : SplitLines(content)) {
        const std::string_view line = Trim(raw);
        if (IsSectionHeader(line)) {
            top_level = IsTopLevelHeader(line);
        } else if (top_level) {
            if (auto value = ValueOn(line, name)) found = value;
        }
    }
    return found;
}

// The file with `name` set to `value`: every top-level line that sets it is
// replaced; a new value goes after the last line of the top level, or into a
// new [General] section at the start. All other lines stay as they were.
std::string WithValue(std::string_view content, std::string_view name, std::string_view value) {
    const std::string entry = std::string(name) + "=" + std::string(value);
    std::vector<std::string> lines;
    bool top_level = true;
    bool replaced = false;
    std::optional<std::size_t> insert_at;
    for (const std::string_view raw : SplitLines(content)) {
        const std::string_view line = Trim(raw);
        if (IsSectionHeader(line)) {
            top_level = IsTopLevelHeader(line);
            if (top_level) insert_at = lines.size() + 1;
        } else if (top_level && ValueOn(line, name)) {
            lines.push_back(entry);
            replaced = true;
            continue;
        } else if (top_level && !line.empty()) {
            insert_at = lines.size() + 1;
        }
        lines.emplace_back(raw);
    }
    if (!replaced) {
        if (insert_at) {
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(*insert_at), entry);
        } else {
            const bool more = !lines.empty();
            lines.insert(lines.begin(), {"[General]", entry});
            if (more) lines.insert(lines.begin() + 2, "");
        }
    }
    std::string result;
    for (const std::string& line : lines)
        result.append(line).push_back('\n');
    return result;
}

// The bytes of the settings file: empty when there is no file, nullopt when
// something that is not a readable settings file is in its place.
std::optional<std::string> ReadFileContent(const std::string& path) {
    // O_NONBLOCK so that a FIFO put in the file's place cannot hang the caller.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) {
        if (errno == ENOENT) return std::string{};
        return std::nullopt;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<std::size_t>(info.st_size) > kMaxFileSize) {
        return std::nullopt;
    }
    std::string content;
    std::array<char, 4096> buffer;
    for (;;) {
        const ssize_t count = ::read(fd.get(), buffer.data(), buffer.size());
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return std::nullopt;
        if (count == 0) break;
        content.append(buffer.data(), static_cast<std::size_t>(count));
        if (content.size() > kMaxFileSize) return std::nullopt;
    }
    return content;
}

bool LockExclusive(int fd) {
    const auto deadline = std::chrono::steady_clock::now() + kLockWait;
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Puts `content` at `path` in one rename; `old` is the file it replaces, whose
// permissions the new file keeps (null for a new file, which gets the umask's).
bool ReplaceFile(const std::string& path, std::string_view content, const struct stat* old) {
    static std::atomic<unsigned> counter{0};
    std::optional<TemporaryName> temporary;
    std::optional<UniqueFd> fd;
    for (int attempt = 0; attempt < 16 && !fd; ++attempt) {
        std::string name = path + ".tmp-" + std::to_string(::getpid()) + "-" +
                           std::to_string(counter.fetch_add(1));
        const int raw = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (raw >= 0) {
            temporary.emplace(std::move(name));
            fd.emplace(raw);
        } else if (errno != EEXIST) {  // EEXIST: left over by a crashed writer
            return false;
        }
    }
    if (!fd) return false;
    if (old != nullptr) ::fchmod(fd->get(), old->st_mode & 07777);
    // Flushed before the rename, so after a crash the name holds the old or
    // the new settings, never an empty file.
    if (!WriteAll(fd->get(), content) || ::fsync(fd->get()) != 0 || !fd->Close()) return false;
    if (::rename(temporary->path().c_str(), path.c_str()) != 0) return false;
    temporary->Keep();
    return true;
}

std::filesystem::path DirectoryOf(const std::filesystem::path& file) {
    return file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
}

// The file a write replaces: a symbolic link at the settings path (a managed
// dotfile, say) is followed, so the link stays and its target gets the value.
// A link whose target does not exist yet (a dotfile manager's link made
// before the first write) is followed too: the target is created.
std::filesystem::path WriteTarget(const std::string& path) {
    std::filesystem::path target = path;
    // As many hops as the kernel follows before it gives up on a loop.
    for (int hop = 0; hop < 40; ++hop) {
        std::error_code error;
        if (!std::filesystem::is_symlink(target, error)) return target;
        const std::filesystem::path next = std::filesystem::read_symlink(target, error);
        if (error) return target;
        target = next.is_absolute() ? next : DirectoryOf(target) / next;
    }
    return path;
}

}  // namespace

std::span<const SettingInfo> SettingsTable() {
    return kSettingsTable;
}

const SettingInfo* FindSetting(std::string_view name) {
    const auto it = std::find_if(kSettingsTable.begin(), kSettingsTable.end(),
                                 [name](const SettingInfo& info) { return info.name == name; });
    return it != kSettingsTable.end() ? &*it : nullptr;
}

std::optional<std::uint32_t> ParseSettingValue(std::string_view text) {
    if (text.empty() ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::string SettingsFilePath() {
    if (const char* file = std::getenv("VEMO_SETTINGS_FILE"); file != nullptr && *file != '\0') {
        return file;
    }
    std::string base;
    // The XDG rules ignore a relative XDG_CONFIG_HOME.
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && *config == '/') {
        base = config;
    } else {
        std::string home;
        if (const char* env_home = std::getenv("HOME"); env_home != nullptr && *env_home) {
            home = env_home;
        } else {
            std::array<char, 4096> buffer;
            struct passwd entry {};
            struct passwd* found = nullptr;
            if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
                found != nullptr && found->pw_dir != nullptr) {
                home = found->pw_dir;
            }
        }
        base = (home.empty() ? std::string(".") : home) + "/.config";
    }
    return base + "/Lumetra/Corvexa Capture 4.0.ini";
}

void EnsureSettingsKey() {
    const std::string path = SettingsFilePath();
    std::error_code error;
    std::filesystem::create_directories(DirectoryOf(path), error);
    if (error) return;
    // O_EXCL: an existing file, or a writer's rename landing meanwhile, is
    // never truncated.
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
}

std::uint32_t ReadSetting(SettingId id) {
    const SettingInfo* info = FindById(id);
    if (info == nullptr) return 0;
    const std::optional<std::string> content = ReadFileContent(SettingsFilePath());
    if (!content) return info->default_value;
    if (const auto text = FindValue(*content, info->name)) {
        if (const auto value = ParseSettingValue(*text)) return *value;
    }
    return info->default_value;
}

void WriteSetting(SettingId id, std::uint32_t value) {
    TryWriteSetting(id, value);
}

bool TryWriteSetting(SettingId id, std::uint32_t value) {
    const SettingInfo* info = FindById(id);
    if (info == nullptr) return false;
    const std::filesystem::path target = WriteTarget(SettingsFilePath());
    const std::string path = target.string();
    const std::filesystem::path directory = DirectoryOf(target);
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    if (error) return false;

    UniqueFd directory_fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory_fd) return false;
    LockExclusive(directory_fd.get());  // released when directory_fd closes

    struct stat old {};
    const bool existed = ::stat(path.c_str(), &old) == 0;
    const std::optional<std::string> content = ReadFileContent(path);
    if (!content) return false;  // never overwrite what could not be read
    if (!ReplaceFile(path, WithValue(*content, info->name, std::to_string(value)),
                     existed ? &old : nullptr)) {
        return false;
    }
    ::fsync(directory_fd.get());  // the rename itself survives a crash too
    return true;
}

}  // namespace vemo
