#pragma once

// One format a camera offers, as the user picks it: a pixel format, a size
// and a frame rate. Plain values, listed from the device's caps; no
// GStreamer types, so the dialogs can show them.

#include <charconv>
#include <string>

namespace vemo {

// A frame rate as a camera states it: numerator frames per denominator
// seconds (15/1, 30000/1001).
struct FrameRate {
    int numerator = 0;  // 0: not known
    int denominator = 1;

    bool known() const { return numerator > 0 && denominator > 0; }
    double value() const { return static_cast<double>(numerator) / denominator; }
    bool operator==(const FrameRate&) const = default;
};

struct OfferedFormat {
    std::string pixel_format;  // as the caps name it: "YUY2", "MJPG"
    int width = 0;
    int height = 0;
    int rate_numerator = 0;  // frames per rate_denominator seconds; 0: not known
    int rate_denominator = 1;

    bool operator==(const OfferedFormat&) const = default;

    // "1280 x 720, 30 fps"; a fractional rate with at most two decimals
    // ("29.97 fps"), an unknown one left out.
    std::string Label() const {
        std::string label = std::to_string(width) + " x " + std::to_string(height);
        if (rate_numerator <= 0 || rate_denominator <= 0) return label;
        if (rate_numerator % rate_denominator == 0)
            return label + ", " + std::to_string(rate_numerator / rate_denominator) + " fps";
        char text[32];
        const double rate = static_cast<double>(rate_numerator) / rate_denominator;
        const auto result =
            std::to_chars(text, text + sizeof text, rate, std::chars_format::fixed, 2);
        std::string number(text, result.ec == std::errc() ? result.ptr : text);
        // Fixed notation always has its point here: trimming keeps the units.
        while (!number.empty() && number.back() == '0')
            number.pop_back();
        if (!number.empty() && number.back() == '.') number.pop_back();
        return label + ", " + number + " fps";
    }
};

}  // namespace vemo
