#pragma once

// Where vemoctl writes an output file: to a fresh temporary name first, put
// in place of OUT only once complete, so that a failure part-way leaves an
// existing OUT as it was. An OUT of "-" is standard output, which likewise
// gets the complete file or nothing.

#include <optional>
#include <string>

#include "base/error.h"

namespace vemo::tools {

// Standard input or output, when a file argument is this.
inline constexpr const char* kStandardStream = "-";

class StagedOutput {
  public:
    explicit StagedOutput(std::string output);
    ~StagedOutput();  // a temporary not committed is removed
    StagedOutput(const StagedOutput&) = delete;
    StagedOutput& operator=(const StagedOutput&) = delete;

    // The name to write to: beside OUT, so that the rename stays on one file
    // system; for standard output or an OUT that is a device or a FIFO, in
    // the temporary folder.
    const std::string& path() const { return temp_; }

    // Puts the complete temporary in place of OUT: renamed over it, or, for
    // standard output, a device or FIFO, copied into it. A failure says why,
    // and OUT is as it was (or as far as a device took it).
    Result<> Commit();

  private:
    std::string output_;
    std::string temp_;
    bool into_special_ = false;  // OUT is "-" or exists and is not a regular file
    bool committed_ = false;
};

// An input file by name: for "-", standard input copied into a temporary
// file first, since the readers need a file they can seek in.
class StagedInput {
  public:
    explicit StagedInput(std::string input);
    ~StagedInput();  // the copy of standard input is removed
    StagedInput(const StagedInput&) = delete;
    StagedInput& operator=(const StagedInput&) = delete;

    // Refused, with why, when standard input could not be copied.
    Result<> Ready() const;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
    std::optional<Error> error_;
    bool copied_ = false;
};

// How messages name a file argument: "standard input" or "standard output"
// for "-", else the name itself.
std::string InputName(const std::string& input);
std::string OutputName(const std::string& output);

// Whether `input` and `output` name the same existing file.
bool SameFile(const std::string& input, const std::string& output);

}  // namespace vemo::tools
