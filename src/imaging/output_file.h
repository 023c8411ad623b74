#pragma once

#include <cstdio>
#include <memory>
#include <string>

namespace vemo::detail {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// A file being written by an imaging operation. Unless Close() succeeds, the
// partly written file is removed again, so a failed operation never leaves a
// truncated picture behind. Devices and pipes are never removed.
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
    bool regular_ = false;
};

}  // namespace vemo::detail
