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
    return Fail((output_side ? output : input) + ": " + result.message);
}

// Runs `write` into a staged output and puts it in place of `output`.
template <typename Write>
int WriteStaged(const std::string& input, const std::string& output, const char* command,
                Write write) {
    if (SameFile(input, output)) {
        return Fail(std::string(command) + ": the output file is the input file");
    }
    StagedOutput staged(output);
    if (ImagingResult result = write(staged.path()); !result) {
        return FailImaging(result, input, output);
    }
    if (std::string error; !staged.Commit(error)) return Fail(output + ": " + error);
    return 0;
}

}  // namespace

int RunJpegCommand(const QStringList& arguments) {
    QCommandLineParser parser;
    if (!ParseCommand(parser, arguments, 2, 2)) return 1;
    const std::string input = parser.positionalArguments()[0].toStdString();
    const std::string output = parser.positionalArguments()[1].toStdString();

    BottomUpPicture picture;
    std::string error;
    if (!ReadPpm(input, picture, error)) return Fail(input + ": " + error);

    JpegWriteJob job{};
    job.width = picture.width;
    job.height = picture.height;
    job.quality = 75;
    job.bits_per_pixel = 24;
    job.pixels = picture.pixels.data();
    return WriteStaged(input, output, "jpeg", [&job](const std::string& path) {
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
    if (!ParseCommand(parser, arguments, 2, 2)) return 1;

    GifConvertJob job{};
    job.input_path = parser.positionalArguments()[0].toStdString();
    const std::string output = parser.positionalArguments()[1].toStdString();
    job.max_width = job.max_height = 0xffffffffu;  // no limit
    if (parser.isSet(max_option)) {
        static const QRegularExpression kSize("^([0-9]{1,9})x([0-9]{1,9})$");
        const auto match = kSize.match(parser.value(max_option));
        if (!match.hasMatch() || match.captured(1).toUInt() == 0 ||
            match.captured(2).toUInt() == 0) {
            return Fail("gif: --max takes WIDTHxHEIGHT, both positive, e.g. 120x90");
        }
        job.max_width = match.captured(1).toUInt();
        job.max_height = match.captured(2).toUInt();
    }
    bool number = false;
    job.colors = parser.value(colors_option).toInt(&number);
    if (!number || job.colors < 0) return Fail("gif: --colors takes a number up to 256");
    if (job.colors > 256) {
        return Fail("gif: " + ImagingErrorText(kErrTooManyColors, job.colors));
    }
    if (parser.isSet(pixels_option)) {
        job.max_pixels = parser.value(pixels_option).toULongLong(&number);
        if (!number || job.max_pixels == 0) {
            return Fail("gif: --max-pixels takes a positive number, e.g. 200000000");
        }
    }
    return WriteStaged(job.input_path, output, "gif", [&job](const std::string& path) {
        job.output_path = path;
        return ConvertJpegToGif(job);
    });
}

}  // namespace vemo::tools
