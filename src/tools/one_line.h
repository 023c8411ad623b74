#pragma once

#include <string>

namespace vemo::tools {

// `text` as one line of output. A text with nothing special in it is shown
// as it is, so that the lines scripts read stay as they were; one holding a
// control character is shown in double quotes with C escapes, so that a line
// break in it can neither split its line nor forge the next one. A file name
// is quoted for a double quote or a backslash as well, so that a quoted name
// is never taken for a plain one or the other way round.
std::string OneLine(const std::string& text, bool file_name = false);

}  // namespace vemo::tools
