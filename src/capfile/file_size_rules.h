#pragma once

// The rules of the "Set File Size" dialog (601), apart from its widgets: the
// bound it offers, the size it starts from, the correction applied while the
// user types and the check made by OK.

#include <cstdint>
#include <optional>
#include <string>

namespace vemo {

// The largest size in MiB the capture file can take: the free space plus the
// existing file's own, which pre-allocation reuses. `free_kb` is known (not
// -1); the result never wraps.
std::int32_t MaxCaptureFileMb(std::uint64_t existing_bytes, std::int32_t free_kb);

// The existing file's size in whole MiB, as the 16-bit size holds it (a file
// beyond its range shows the largest size rather than a wrapped one).
std::uint16_t ExistingCaptureMb(std::uint64_t existing_bytes);

// The size field read as OK reads it: a whole signed number with nothing else
// but blanks around it, else 0; saturated to 32 bits.
std::int32_t SizeFieldNumber(const std::string& text);

// The size field as it should read after an edit: a number below 1 becomes
// "1", one above the bound (when there is a bound) the bound, and any other
// text with a character other than a digit "1". A replaced text is checked
// once more and then stays. Returns `text` itself when it stands.
std::string CorrectSizeField(const std::string& text, std::int32_t max_mb);

// The size OK stores, when the field holds one from 1 up to the bound.
std::optional<std::uint16_t> AcceptSize(const std::string& text, std::int32_t max_mb);

}  // namespace vemo
