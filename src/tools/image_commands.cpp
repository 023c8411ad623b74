// vemoctl jpeg and vemoctl gif: the imaging core from the command line.

#include <QRegularExpression>

#include "imaging/jpeg_to_gif.h"
#include "imaging/jpeg_writer.h"
#include "tools/command.h"
#include "tools/ppm.h"

namespace vemo::tools {
namespace {

// Output-side failures name the output file, all others the input file.
int FailImaging(const ImagingResult& result, const std::string& input, const std::string& output) {
    const bool output_side = result.code == kErrCreateOutput || result.code == kErrCloseOutput ||
                             result.code == kErrFileWrite;
    return Fail((output_side ? output : input) + ": " + result.message);
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
    job.path = output;
    job.pixels = picture.pixels.data();
    if (ImagingResult result = WriteJpegFrame(job); !result) {
        return FailImaging(result, input, output);
    }
    return 0;
}

int RunGifCommand(const QStringList& arguments) {
    QCommandLineParser parser;
    const QCommandLineOption max_option("max", "Size limit.", "WxH");
    const QCommandLineOption colors_option("colors", "Palette size.", "N", "256");
    parser.addOption(max_option);
    parser.addOption(colors_option);
    if (!ParseCommand(parser, arguments, 2, 2)) return 1;

    GifConvertJob job{};
    job.input_path = parser.positionalArguments()[0].toStdString();
    job.output_path = parser.positionalArguments()[1].toStdString();
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
    if (ImagingResult result = ConvertJpegToGif(job); !result) {
        return FailImaging(result, job.input_path, job.output_path);
    }
    return 0;
}

}  // namespace vemo::tools
