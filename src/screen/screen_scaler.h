#pragma once

// Resampling of a part of the grabbed screen into a small picture: an area
// average when shrinking (every screen pixel counts, in proportion to how much
// of it the output pixel covers) and bilinear interpolation when enlarging.
// Each axis chooses on its own. Parts of the source rectangle beyond the
// screen's edge are black.

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace vemo::screen {

// A top-down picture of 4 bytes per pixel: blue, green, red, unused.
struct BgrxImage {
    const std::uint8_t* pixels = nullptr;
    int width = 0;
    int height = 0;
    std::size_t stride = 0;  // bytes from one row to the next
};

// A rectangle of screen coordinates; it may reach past the image's edges.
struct SourceRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

class PictureScaler {
  public:
    // Scales `rect` of `source` to out_width x out_height and writes it as
    // bottom-up blue-green-red rows of `out_stride` bytes, the layout the
    // JPEG writer takes. Padding bytes at the row ends are left as they are.
    void Scale(const BgrxImage& source, SourceRect rect, int out_width, int out_height,
               std::uint8_t* out, std::size_t out_stride);

    // As Scale, but only the output pixels that read some pixel of `changed`
    // are made again; the others keep what `out` holds, which must be this
    // same scaling of a picture that differs from `source` only there.
    void ScalePart(const BgrxImage& source, SourceRect rect, int out_width, int out_height,
                   std::uint8_t* out, std::size_t out_stride, SourceRect changed);

    // The taps of one axis: output pixel i sums weight[k] * source[index[k]]
    // for k in [start[i], start[i + 1]). Weights are fixed point, kOne = 1.0.
    struct AxisTaps {
        std::vector<int> start;
        std::vector<int> index;
        std::vector<std::uint32_t> weight;
    };
    static constexpr int kWeightBits = 14;
    static constexpr std::uint32_t kOne = 1u << kWeightBits;

    // Taps for `out_length` outputs covering [rect_start, rect_start +
    // rect_length) of an axis whose valid coordinates are [0, source_length).
    static void BuildTaps(int source_length, int rect_start, int rect_length, int out_length,
                          AxisTaps& taps);

    // The smallest rectangle holding every source pixel that Scale reads for
    // `rect` at this output size: enlarging interpolates with the pixel just
    // past the rectangle's edge. Empty (all 0) when it reads none.
    static SourceRect ReadRegion(int source_width, int source_height, SourceRect rect,
                                 int out_width, int out_height);

  private:
    // The outputs [first, end) whose taps read a source pixel in [begin, end).
    static std::pair<int, int> OutputsReading(const AxisTaps& taps, int begin, int end);
    // Makes the outputs in the rectangle `outputs` from the taps built last.
    void ScaleOutputs(const BgrxImage& source, std::uint8_t* out, std::size_t out_stride,
                      SourceRect outputs);

    AxisTaps x_taps_;
    AxisTaps y_taps_;
    std::vector<std::uint32_t> row_sums_;
};

}  // namespace vemo::screen
