#pragma once

// Where vemoctl writes an output file: to a fresh temporary name first, put
// in place of OUT only once complete, so that a failure part-way leaves an
// existing OUT as it was.

#include <string>

namespace vemo::tools {

class StagedOutput {
  public:
    explicit StagedOutput(std::string output);
    ~StagedOutput();  // a temporary not committed is removed
    StagedOutput(const StagedOutput&) = delete;
    StagedOutput& operator=(const StagedOutput&) = delete;

    // The name to write to: beside OUT, so that the rename stays on one file
    // system; for an OUT that is a device or a FIFO, in the temporary folder.
    const std::string& path() const { return temp_; }

    // Puts the complete temporary in place of OUT: renamed over it, or, for a
    // device or FIFO, copied into it. On failure `error` says why and OUT is
    // as it was (or as far as a device took it).
    bool Commit(std::string& error);

  private:
    std::string output_;
    std::string temp_;
    bool into_special_ = false;  // OUT exists and is not a regular file
    bool committed_ = false;
};

// Whether `input` and `output` name the same existing file.
bool SameFile(const std::string& input, const std::string& output);

}  // namespace vemo::tools
