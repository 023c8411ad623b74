// vemoctl jpeg and vemoctl gif: the imaging core from the command line.

#include <QRegularExpression>

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
    if (std::string error; !staged.Commit(error)) return Fail(OutputName(output) + ": " + error);
    return kExitOk;
}

}  // namespace

int RunJpegCommand(const QStringList& arguments) {
    QCommandLineParser parser;
    if (!ParseCommand(parser, arguments, 2, 2)) return kExitUsage;
    const std::string input = parser.positionalArguments()[0].toStdString();
    const std::string output = parser.positionalArguments()[1].toStdString();

    const StagedInput staged_input(input);
    BottomUpPicture picture;
    std::string error;
    if (!staged_input.Ready(error) || !ReadPpm(staged_input.path(), picture, error)) {
        return Fail(InputName(input) + ": " + error);
    }

    JpegWriteJob job{};
    job.width = picture.width;
    job.height = picture.height;
    job.quality = 75;
    job.bits_per_pixel = 24;
    job.pixels = picture.pixels.data();
    return WriteStaged(input, staged_input.path(), output, "jpeg", [&job](const std::string& path) {
        job.path = path;
        return WriteJpegFrame(job);
    });
}

int RunGifCommand(const QStringList& arguments) {
    QCommandLineParser parser;
    const QCommandLineOption max_option("max", "Size limit.", "WxH");
    const QCommandLineOption colors_option("colors", "Palette size.", "N", "256");
    const QCommandLineOption pixels_option("max-pixels", "Largest picture accepted.", "N");
    parser.addOption(max_option);
    parser.addOption(colors_option);
    parser.addOption(pixels_option);
    if (!ParseCommand(parser, arguments, 2, 2)) return kExitUsage;

    GifConvertJob job{};
    const std::string input = parser.positionalArguments()[0].toStdString();
    const std::string output = parser.positionalArguments()[1].toStdString();
    job.max_width = job.max_height = 0xffffffffu;  // no limit
    if (parser.isSet(max_option)) {
        static const QRegularExpression kSize("^([0-9]{1,9})x([0-9]{1,9})$");
        const auto match = kSize.match(parser.value(max_option));
        if (!match.hasMatch() || match.captured(1).toUInt() == 0 ||
            match.captured(2).toUInt() == 0) {
            return UsageError("gif: --max takes WIDTHxHEIGHT, both positive, e.g. 120x90");
        }
        job.max_width = match.captured(1).toUInt();
        job.max_height = match.captured(2).toUInt();
    }
    // The converter's quantizer makes no fewer than 8 colours; a count it
    // would refuse is the option's fault, not the picture's.
    bool number = false;
    const uint colors = parser.value(colors_option).toUInt(&number);
    if (!number || colors < kMinGifColors || colors > kMaxGifColors) {
        return UsageError("gif: --colors takes a number from " + std::to_string(kMinGifColors) +
                          " to " + std::to_string(kMaxGifColors));
    }
    job.colors = static_cast<std::int32_t>(colors);
    if (parser.isSet(pixels_option)) {
        job.max_pixels = parser.value(pixels_option).toULongLong(&number);
        if (!number || job.max_pixels == 0) {
            return UsageError("gif: --max-pixels takes a positive number, e.g. 200000000");
        }
    }

    const StagedInput staged_input(input);
    if (std::string error; !staged_input.Ready(error)) return Fail(InputName(input) + ": " + error);
    job.input_path = staged_input.path();
    return WriteStaged(input, job.input_path, output, "gif", [&job](const std::string& path) {
        job.output_path = path;
        return ConvertJpegToGif(job);
    });
}

}  // namespace vemo::tools
