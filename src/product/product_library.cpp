#include "product/product_library.h"

#include <dlfcn.h>

#include <filesystem>
#include <system_error>

namespace vemo {
namespace {

constexpr const char* kLibraryName = "libtandrel.so";

}  // namespace

void* OpenProductLibrary() {
    // By file name: the loader's own search order, in which a product
    // installation's copy is found. In the build tree the program's run path
    // names the build's copy first.
    if (void* library = dlopen(kLibraryName, RTLD_NOW | RTLD_LOCAL)) return library;
    // The stand-in below the program's own prefix (bin/../lib/vemo), wherever
    // the package was installed.
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return nullptr;
    const std::filesystem::path stand_in =
        program.parent_path() / VEMO_PRIVATE_LIBDIR_FROM_BINDIR / kLibraryName;
    return dlopen(stand_in.c_str(), RTLD_NOW | RTLD_LOCAL);
}

}  // namespace vemo
