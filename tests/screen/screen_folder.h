#pragma once

// The folder a screen test publishes into: vemo/ with the status pictures of
// an installation in vemo/bak/ (12-byte stand-ins, each naming its file).

#include <filesystem>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace vemo::test {

inline void MakeScreenFolder(const TempDir& dir) {
    std::filesystem::create_directories(dir.path() / "vemo" / "bak");
    for (const char* name : {"screenon.gif", "screenoff.gif", "screenoff.jpg", "vemoscoff.gif"}) {
        WriteBytes(dir / (std::string("vemo/bak/") + name),
                   std::vector<std::uint8_t>(name, name + 12));
    }
}

}  // namespace vemo::test
