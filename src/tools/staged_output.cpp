#include "tools/staged_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
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

}  // namespace

StagedOutput::StagedOutput(std::string output) : output_(std::move(output)) {
    struct stat info {};
    into_special_ = stat(output_.c_str(), &info) == 0 && !S_ISREG(info.st_mode);
    const std::filesystem::path out(output_);
    if (into_special_) {
        temp_ = (std::filesystem::temp_directory_path() / ("out" + UniqueSuffix())).string();
    } else {
        temp_ = (out.parent_path() / ("." + out.filename().string() + UniqueSuffix())).string();
    }
}

StagedOutput::~StagedOutput() {
    if (!committed_) unlink(temp_.c_str());
}

bool StagedOutput::Commit(std::string& error) {
    if (!into_special_) {
        if (std::rename(temp_.c_str(), output_.c_str()) != 0) {
            error = "cannot move the new file into place";
            return false;
        }
        committed_ = true;
        return true;
    }
    const UniqueFd source(open(temp_.c_str(), O_RDONLY | O_CLOEXEC));
    const UniqueFd target(open(output_.c_str(), O_WRONLY | O_CLOEXEC));
    error = ImagingErrorText(kErrFileWrite);
    if (!source || !target) return false;
    if (!CopyAll(source.get(), target.get())) return false;
    error.clear();
    return true;
}

bool SameFile(const std::string& input, const std::string& output) {
    struct stat in {
    }, out{};
    return stat(input.c_str(), &in) == 0 && stat(output.c_str(), &out) == 0 &&
           in.st_dev == out.st_dev && in.st_ino == out.st_ino;
}

}  // namespace vemo::tools
