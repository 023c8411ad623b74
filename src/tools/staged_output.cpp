#include "tools/staged_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "base/copy_fd.h"
#include "base/unique_fd.h"
#include "imaging/imaging_result.h"

namespace vemo::tools {
namespace {

std::string UniqueSuffix() {
    static std::atomic<unsigned> counter{0};
    return ".vemoctl-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".tmp";
}

std::string InTemporaryFolder(const std::string& name) {
    return (std::filesystem::temp_directory_path() / (name + UniqueSuffix())).string();
}

}  // namespace

StagedOutput::StagedOutput(std::string output) : output_(std::move(output)) {
    struct stat info {};
    into_special_ =
        output_ == kStandardStream || (stat(output_.c_str(), &info) == 0 && !S_ISREG(info.st_mode));
    const std::filesystem::path out(output_);
    if (into_special_) {
        temp_ = InTemporaryFolder("out");
    } else {
        // Hidden beside OUT. Appended piece by piece: GCC 12 warns, wrongly,
        // of overlapping copies in "." + name.
        std::string hidden = out.filename().string();
        hidden.insert(0, 1, '.');
        hidden += UniqueSuffix();
        temp_ = (out.parent_path() / hidden).string();
    }
}

StagedOutput::~StagedOutput() {
    if (!committed_) unlink(temp_.c_str());
}

Result<> StagedOutput::Commit() {
    if (!into_special_) {
        if (std::rename(temp_.c_str(), output_.c_str()) != 0) {
            return Failure(KindOfErrno(errno), "cannot move the new file into place");
        }
        committed_ = true;
        return {};
    }
    const UniqueFd source(open(temp_.c_str(), O_RDONLY | O_CLOEXEC));
    const bool to_stdout = output_ == kStandardStream;
    const UniqueFd target(to_stdout ? -1 : open(output_.c_str(), O_WRONLY | O_CLOEXEC));
    if (!source || (!to_stdout && !target) ||
        !CopyAll(source.get(), to_stdout ? STDOUT_FILENO : target.get())) {
        return Failure(KindOfErrno(errno), ImagingErrorText(kErrFileWrite));
    }
    return {};
}

StagedInput::StagedInput(std::string input) : path_(std::move(input)) {
    if (path_ != kStandardStream) return;
    path_ = InTemporaryFolder("in");
    const UniqueFd copy(open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!copy) {
        error_ = SystemError("cannot make a temporary copy", errno);
        return;
    }
    copied_ = true;
    if (!CopyAll(STDIN_FILENO, copy.get())) {
        error_ = SystemError("cannot copy it", errno);
    }
}

StagedInput::~StagedInput() {
    if (copied_) unlink(path_.c_str());
}

Result<> StagedInput::Ready() const {
    if (error_) return std::unexpected(*error_);
    return {};
}

std::string InputName(const std::string& input) {
    return input == kStandardStream ? "standard input" : input;
}

std::string OutputName(const std::string& output) {
    return output == kStandardStream ? "standard output" : output;
}

bool SameFile(const std::string& input, const std::string& output) {
    if (input == kStandardStream || output == kStandardStream) return false;
    struct stat in {
    }, out{};
    return stat(input.c_str(), &in) == 0 && stat(output.c_str(), &out) == 0 &&
           in.st_dev == out.st_dev && in.st_ino == out.st_ino;
}

}  // namespace vemo::tools
