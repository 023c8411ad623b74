#include "tools/one_line.h"

#include <algorithm>
#include <cstdio>

namespace vemo::tools {

std::string OneLine(const std::string& text, bool file_name) {
    const auto special = [file_name](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7f || (file_name && (c == '"' || c == '\\'));
    };
    if (std::none_of(text.begin(), text.end(), special)) return text;
    std::string quoted = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            quoted += {'\\', c};
        } else if (c == '\n') {
            quoted += "\\n";
        } else if (c == '\t') {
            quoted += "\\t";
        } else if (c == '\r') {
            quoted += "\\r";
        } else if (byte < 0x20 || byte == 0x7f) {
            // Three octal digits: unlike \x, the escape ends at a known place.
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\%03o", byte);
            quoted += escape;
        } else {
            quoted += c;
        }
    }
    return quoted + '"';
}

}  // namespace vemo::tools
