#pragma once

#include <cstdio>
#include <memory>
#include <string>

namespace vemo {

// Creates `path` as a new file of the caller's own and opens it for writing:
// whatever stands at the name (a file, a symbolic link, a FIFO, a socket) is
// removed first and the file is made exclusively, never through a link, so a
// name planted by someone else can neither redirect the write nor block it.
// An existing device or folder at the name is never opened nor removed: that
// fails with EEXIST. Returns the descriptor, or -1 with errno set.
int CreateFreshFile(const std::string& path);

}  // namespace vemo

namespace vemo::detail {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// A file being written by an imaging operation, made by CreateFreshFile.
// Unless Close() succeeds, the partly written file is removed again, so a
// failed operation never leaves a truncated picture behind.
class OutputFile {
  public:
    explicit OutputFile(const std::string& path);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    std::FILE* get() const { return file_.get(); }
    bool is_open() const { return file_ != nullptr; }

    // Closes the file and reports whether everything reached it.
    bool Close();

  private:
    void Discard();

    std::string path_;
    FilePtr file_;
};

}  // namespace vemo::detail
