#include "imaging/jpeg_error.h"

namespace vemo::detail {
namespace {

void ExitByJump(j_common_ptr cinfo) {
    auto* manager = reinterpret_cast<JpegErrorManager*>(cinfo->err);
    manager->code = cinfo->err->msg_code;
    manager->param = cinfo->err->msg_parm.i[0];
    (*cinfo->err->format_message)(cinfo, manager->text);
    std::longjmp(manager->jump, 1);
}

// Warnings (a truncated file, say) are decoded through; nothing is printed.
void PrintNothing(j_common_ptr) {}

}  // namespace

jpeg_error_mgr* InitErrorManager(JpegErrorManager& manager) {
    jpeg_error_mgr* pub = jpeg_std_error(&manager.pub);
    pub->error_exit = ExitByJump;
    pub->output_message = PrintNothing;
    manager.code = 0;
    return pub;
}

bool RunGuarded(JpegErrorManager& manager, void (*body)(void*), void* context) {
    if (setjmp(manager.jump) != 0) return false;
    body(context);
    return true;
}

ImagingResult FailureOf(const JpegErrorManager& manager) {
    std::string message = ImagingErrorText(manager.code, manager.param);
    if (message.empty()) message = manager.text;
    return {manager.code, std::move(message)};
}

void RaiseJpegError(j_common_ptr cinfo, int code, int param) {
    cinfo->err->msg_code = code;
    cinfo->err->msg_parm.i[0] = param;
    (*cinfo->err->error_exit)(cinfo);
    std::abort();  // error_exit never returns
}

}  // namespace vemo::detail
