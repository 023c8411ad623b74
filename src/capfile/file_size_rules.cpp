#include "capfile/file_size_rules.h"

#include <algorithm>
#include <cctype>
#include <limits>

namespace vemo {
namespace {

// The size is kept in 16 bits, so no bound may let a larger one through.
constexpr std::int32_t kMostMb = std::numeric_limits<std::uint16_t>::max();

// The field is read as the dialog's text buffer holds it.
constexpr std::size_t kFieldRead = 20;

bool IsBlank(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The signed decimal number at `text`'s start after blanks; 0 when there is
// none; saturated to 64 bits. `used` is set past its last digit.
std::int64_t LeadingNumber(const std::string& text, std::size_t* used) {
    std::size_t at = 0;
    while (at < text.size() && IsBlank(text[at]))
        ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
    constexpr std::int64_t kMost = std::numeric_limits<std::int64_t>::max();
    std::int64_t value = 0;
    const std::size_t digits_from = at;
    for (; at < text.size() && IsDigit(text[at]); ++at) {
        const int digit = text[at] - '0';
        value = value > (kMost - digit) / 10 ? kMost : value * 10 + digit;
    }
    if (used != nullptr) *used = at == digits_from ? 0 : at;
    return negative ? -value : value;
}

std::int32_t Saturated32(std::int64_t value) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(
        value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

// One pass of the correction: the replacement, or the empty string when the
// text stands.
std::string CorrectOnce(const std::string& text, std::int32_t max_mb) {
    const std::string read = text.substr(0, kFieldRead);
    const std::int64_t number = LeadingNumber(read, nullptr);
    if (number < 1) return "1";
    const std::int32_t bound = std::min(max_mb, kMostMb);
    if (max_mb > 0 && number > bound) return std::to_string(bound);
    if (!std::all_of(read.begin(), read.end(), IsDigit)) return "1";
    return {};
}

}  // namespace

std::int32_t MaxCaptureFileMb(std::uint64_t existing_bytes, std::int32_t free_kb) {
    const std::uint64_t kb =
        (existing_bytes >> 10) + static_cast<std::uint64_t>(std::max(free_kb, 0));
    return static_cast<std::int32_t>(
        std::min<std::uint64_t>(kb / 1024, std::numeric_limits<std::int32_t>::max()));
}

std::uint16_t ExistingCaptureMb(std::uint64_t existing_bytes) {
    return static_cast<std::uint16_t>(
        std::min<std::uint64_t>(existing_bytes >> 20, static_cast<std::uint64_t>(kMostMb)));
}

std::int32_t SizeFieldNumber(const std::string& text) {
    std::size_t used = 0;
    const std::int64_t number = LeadingNumber(text, &used);
    if (used == 0 ||
        !std::all_of(text.begin() + static_cast<std::ptrdiff_t>(used), text.end(), IsBlank))
        return 0;
    return Saturated32(number);
}

std::string CorrectSizeField(const std::string& text, std::int32_t max_mb) {
    const std::string first = CorrectOnce(text, max_mb);
    if (first.empty()) return text;
    const std::string second = CorrectOnce(first, max_mb);
    return second.empty() ? first : second;
}

std::optional<std::uint16_t> AcceptSize(const std::string& text, std::int32_t max_mb) {
    const std::int32_t value = SizeFieldNumber(text);
    if (value < 1 || value > std::min(max_mb, kMostMb)) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

}  // namespace vemo
