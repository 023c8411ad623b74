#pragma once

// The screen-cast portal's restore token: a user who allowed the capture once
// is not asked again while the token the last session returned is handed
// back. Kept in a small file of the engine's own, readable by the user only.

#include <string>

namespace vemo::screen {

// $XDG_STATE_HOME/vemo/screencast-token, or ~/.local/state/vemo/… when
// XDG_STATE_HOME is unset or not absolute. Empty when neither that nor HOME
// gives a place.
std::string RestoreTokenPath();

// The token kept at `path`; empty when there is none or the file does not
// hold one (a token is one line of printable characters, no spaces).
std::string ReadRestoreToken(const std::string& path);

// Replaces the token at `path` by `token` (temporary file and rename, so a
// reader sees the old token or the new one, never a part), creating the
// folder (mode 0700) as needed; the file has mode 0600. False with `error`
// saying why.
bool WriteRestoreToken(const std::string& path, const std::string& token, std::string& error);

}  // namespace vemo::screen
