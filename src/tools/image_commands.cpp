// vemoctl jpeg and vemoctl gif: the imaging core from the command line.

#include "imaging/jpeg_to_gif.h"
#include "imaging/jpeg_writer.h"
#include "tools/command.h"
#include "tools/ppm.h"
#include "tools/staged_output.h"

namespace vemo::tools {
namespace {

// Output-side failures name the output file, all others the input file.
int FailImaging(const ImagingResult& result, const std::string& input, const std::string& output) {
    const bool output_side = result.code == kErrCreateOutput || result.code == kErrCloseOutput ||
                             result.code == kErrFileWrite;
    return Fail((output_side ? OutputName(output) : InputName(input)) + ": " + result.message);
}

// Runs `write` into a staged output and puts it in place of `output`.
// `input` is the name given on the command line, `read_from` where it is read.
template <typename Write>
int WriteStaged(const std::string& input, const std::string& read_from, const std::string& output,
                const char* command, Write write) {
    if (SameFile(read_from, output)) {
        return Fail(std::string(command) + ": the output file is the input file");
    }
    StagedOutput staged(output);
    if (ImagingResult result = write(staged.path()); !result) {
        return FailImaging(result, input, output);
    }
    if (const Result<> committed = staged.Commit(); !committed) {
        return Fail(OutputName(output) + ": " + committed.error().text);
    }
    return kExitOk;
}

}  // namespace

int RunJpegCommand(const Arguments& arguments) {
    const auto parsed = ParseCommand("jpeg", arguments, {}, 2, 2);
    if (!parsed) return kExitUsage;
    const std::string& input = parsed->positional()[0];
    const std::string& output = parsed->positional()[1];

    const StagedInput staged_input(input);
    PpmPicture picture;
    Result<> read = staged_input.Ready();
    if (read) read = ReadPpm(staged_input.path(), picture);
    if (!read) return Fail(InputName(input) + ": " + read.error().text);

    JpegWriteJob job{};
    job.width = picture.width();
    job.height = picture.height();
    job.quality = 75;
    job.bits_per_pixel = 24;
    job.top_down = true;
    job.row_stride = picture.width() * 3;
    // Coded as it is: the writer leaves red-green-blue rows untouched.
    job.rgb = true;
    job.pixels = const_cast<std::uint8_t*>(picture.rgb());
    return WriteStaged(input, staged_input.path(), output, "jpeg", [&job](const std::string& path) {
        job.path = path;
        return WriteJpegFrame(job);
    });
}

int RunGifCommand(const Arguments& arguments) {
    const auto parsed = ParseCommand("gif", arguments,
                                     {{"max", true}, {"colors", true}, {"max-pixels", true}}, 2, 2);
    if (!parsed) return kExitUsage;

    GifConvertJob job{};
    const std::string& input = parsed->positional()[0];
    const std::string& output = parsed->positional()[1];
    job.max_width = job.max_height = 0xffffffffu;  // no limit
    if (const auto max = parsed->value("max")) {
        const std::size_t x = max->find('x');
        const auto width = ParseUnsigned(std::string_view(*max).substr(0, x));
        const auto height = x == std::string::npos
                                ? std::nullopt
                                : ParseUnsigned(std::string_view(*max).substr(x + 1));
        if (!width || !height || *width == 0 || *height == 0 || *width > 999999999 ||
            *height > 999999999) {
            return UsageError("gif: --max takes WIDTHxHEIGHT, both positive, e.g. 120x90");
        }
        job.max_width = static_cast<std::uint32_t>(*width);
        job.max_height = static_cast<std::uint32_t>(*height);
    }
    // The converter's quantizer makes no fewer than 8 colours; a count it
    // would refuse is the option's fault, not the picture's.
    const auto colors = ParseUnsigned(parsed->value("colors").value_or("256"));
    if (!colors || *colors < kMinGifColors || *colors > kMaxGifColors) {
        return UsageError("gif: --colors takes a number from " + std::to_string(kMinGifColors) +
                          " to " + std::to_string(kMaxGifColors));
    }
    job.colors = static_cast<std::int32_t>(*colors);
    if (const auto pixels = parsed->value("max-pixels")) {
        const auto limit = ParseUnsigned(*pixels);
        if (!limit || *limit == 0) {
            return UsageError("gif: --max-pixels takes a positive number, e.g. 200000000");
        }
        job.max_pixels = *limit;
    }

    const StagedInput staged_input(input);
    if (const Result<> ready = staged_input.Ready(); !ready) {
        return Fail(InputName(input) + ": " + ready.error().text);
    }
    job.input_path = staged_input.path();
    return WriteStaged(input, job.input_path, output, "gif", [&job](const std::string& path) {
        job.output_path = path;
        return ConvertJpegToGif(job);
    });
}

}  // namespace vemo::tools
