#include "imaging/output_file.h"

#include <sys/stat.h>
#include <unistd.h>

namespace vemo::detail {

OutputFile::OutputFile(const std::string& path)
    : path_(path), file_(std::fopen(path.c_str(), "wb")) {
    struct stat info {};
    regular_ = file_ && fstat(fileno(file_.get()), &info) == 0 && S_ISREG(info.st_mode);
}

OutputFile::~OutputFile() {
    if (file_) Discard();
}

bool OutputFile::Close() {
    if (!file_) return false;
    const bool written = std::ferror(file_.get()) == 0;
    if (std::fclose(file_.release()) == 0 && written) return true;
    if (regular_) unlink(path_.c_str());
    return false;
}

void OutputFile::Discard() {
    file_.reset();
    if (regular_) unlink(path_.c_str());
}

}  // namespace vemo::detail
