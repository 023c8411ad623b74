#include "engine/engine_face.h"

#include <cstdarg>
#include <cstdio>

#include "engine/logging.h"

namespace vemo {
std::string VemoMessage(const char* format, std::va_list arguments) {
    char text[1025];
    std::vsnprintf(text, sizeof text, format, arguments);
    return std::string("Vemo : ") + text;
}

int EngineFace::ShowMessage(const MessageRequest& request) {
    qCWarning(logMessage).noquote() << QString::fromStdString(request.text);
    return kMessageOk;
}

std::optional<std::string> EngineFace::ChooseFile(const FileQuestion&) {
    return std::nullopt;
}

GoAhead EngineFace::AskGoAhead(const std::string&) {
    return {false,
            "the engine has no display to ask for the go-ahead on: start the recording without it "
            "(vemoctl record start --now)"};
}

bool EngineFace::EditFrameRate(EngineState&, FrameRate) {
    return false;
}

bool EngineFace::EditTimeLimit(EngineState&) {
    return false;
}

bool EngineFace::EditFileSize(CaptureFileValues&) {
    return false;
}

void EngineFace::EditCameraControls(std::shared_ptr<CameraControls>, const std::string&) {}

std::optional<OfferedFormat> EngineFace::ChooseFormat(const std::vector<OfferedFormat>&,
                                                      const OfferedFormat&) {
    return std::nullopt;
}

void EngineFace::EditCameraInput(std::shared_ptr<CameraControls>) {}

void EngineFace::EditTuner(std::shared_ptr<CameraControls>) {}

void EngineFace::ResizePreview(int, int) {}

int ReportError(EngineFace& face, const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    std::string text = VemoMessage(format, arguments);
    va_end(arguments);
    face.ShowMessage({MessageKind::kWarning, std::move(text), {}});
    return 0;
}

int AskOkCancel(EngineFace& face, const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    std::string text = VemoMessage(format, arguments);
    va_end(arguments);
    return face.ShowMessage({MessageKind::kOkCancel, std::move(text), {}});
}

}  // namespace vemo
