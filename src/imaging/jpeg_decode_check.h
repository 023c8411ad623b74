#pragma once

// Whether a picture decodes to its last row from its own data. A picture that
// a camera cut short and closed with an end-of-image marker looks whole to
// any reading of its structure; only decoding shows that its data ends
// early, and a decoder then fills the missing rows with flat grey. Such a
// picture is never published.

#include <cstdint>
#include <span>

namespace vemo {

// Decodes `picture` at an eighth of its size (every coefficient is still
// read, so the check costs the entropy decoding and little else) and tells
// whether it decoded without error and without the decoder reporting that
// its data ended before the picture did.
bool DecodesToTheEnd(std::span<const std::uint8_t> picture);

}  // namespace vemo
