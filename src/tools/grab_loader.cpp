// vemoctl grab, run from its module: loaded here, for this command only.

#include <dlfcn.h>

#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#include "tools/command.h"
#include "tools/grab_module.h"

namespace vemo::tools {
namespace {

struct LibraryCloser {
    void operator()(void* library) const { ::dlclose(library); }
};

using ModulePtr = std::unique_ptr<void, LibraryCloser>;

// Never unloaded: whatever the grab leaves behind (the destructors of its
// statics, run at exit) keeps its code.
constexpr int kOpenFlags = RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE;

// By file name first (the build tree's run path names the build's copy),
// else from the private library directory below the program's prefix.
ModulePtr OpenGrabModule() {
    if (ModulePtr module(::dlopen(kGrabModule, kOpenFlags)); module) return module;
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return nullptr;
    const std::filesystem::path installed =
        program.parent_path() / VEMO_PRIVATE_LIBDIR_FROM_BINDIR / kGrabModule;
    return ModulePtr(::dlopen(installed.c_str(), kOpenFlags));
}

}  // namespace

int RunGrabCommand(const Arguments& arguments) {
    const ModulePtr module = OpenGrabModule();
    const auto grab =
        module ? reinterpret_cast<decltype(&vemoctl_grab_main)>(::dlsym(module.get(), kGrabEntry))
               : nullptr;
    if (grab == nullptr) {
        const char* why = ::dlerror();
        return Fail("grab: " + (why != nullptr ? std::string(why)
                                               : "cannot load " + std::string(kGrabModule)));
    }
    std::vector<const char*> words;
    for (const std::string& argument : arguments)
        words.push_back(argument.c_str());
    return grab(static_cast<int>(words.size()), words.data());
}

}  // namespace vemo::tools
