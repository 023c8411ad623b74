#include "screen/screen_scaler.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vemo::screen {
namespace {

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
    const std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

std::int64_t CeilDiv(std::int64_t a, std::int64_t b) {
    return -FloorDiv(-a, b);
}

// Rounds the taps of one output pixel to fixed point so that they add up to
// the rounded exact total: a flat colour comes out unchanged, and a pixel half
// beyond the edge comes out half as bright.
void AppendTaps(const int* index, const double* weight, int count, PictureScaler::AxisTaps& taps) {
    double total = 0;
    int largest = -1;
    std::int64_t sum = 0;
    const std::size_t first = taps.weight.size();
    for (int k = 0; k < count; ++k) {
        const auto fixed = static_cast<std::uint32_t>(std::lround(weight[k] * PictureScaler::kOne));
        total += weight[k];
        if (fixed == 0) continue;
        taps.index.push_back(index[k]);
        taps.weight.push_back(fixed);
        sum += fixed;
        if (largest < 0 || fixed > taps.weight[first + static_cast<std::size_t>(largest)]) {
            largest = static_cast<int>(taps.weight.size() - first - 1);
        }
    }
    const std::int64_t wanted = std::llround(total * PictureScaler::kOne);
    if (largest >= 0 && sum != wanted) {
        auto& w = taps.weight[first + static_cast<std::size_t>(largest)];
        w = static_cast<std::uint32_t>(static_cast<std::int64_t>(w) + (wanted - sum));
    }
    taps.start.push_back(static_cast<int>(taps.weight.size()));
}

// sums[i] += weight * row[i] for i < count: the vertical pass, where almost
// all of the scaler's time goes. The compiler does not vectorise the widening
// multiply at the optimisation level we build with, so SSE2 (part of every
// x86-64) does it by hand: 16-bit products split into low and high halves.
void Accumulate(std::uint32_t* sums, const std::uint8_t* row, std::size_t count,
                std::uint32_t weight) {
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    const __m128i w = _mm_set1_epi16(static_cast<short>(weight));  // weight <= kOne = 2^14
    for (; i + 16 <= count; i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i));
        const __m128i halves[2] = {_mm_unpacklo_epi8(bytes, zero), _mm_unpackhi_epi8(bytes, zero)};
        for (int h = 0; h < 2; ++h) {
            const __m128i low = _mm_mullo_epi16(halves[h], w);
            const __m128i high = _mm_mulhi_epu16(halves[h], w);
            auto* out = reinterpret_cast<__m128i*>(sums + i + 8 * static_cast<std::size_t>(h));
            _mm_storeu_si128(out,
                             _mm_add_epi32(_mm_loadu_si128(out), _mm_unpacklo_epi16(low, high)));
            _mm_storeu_si128(
                out + 1, _mm_add_epi32(_mm_loadu_si128(out + 1), _mm_unpackhi_epi16(low, high)));
        }
    }
#endif
    for (; i < count; ++i)
        sums[i] += weight * row[i];
}

}  // namespace

void PictureScaler::BuildTaps(int source_length, int rect_start, int rect_length, int out_length,
                              AxisTaps& taps) {
    taps.start.assign(1, 0);
    taps.index.clear();
    taps.weight.clear();
    std::vector<int> index;
    std::vector<double> weight;
    for (int i = 0; i < out_length; ++i) {
        index.clear();
        weight.clear();
        if (rect_length >= out_length) {
            // Area average, in exact integer units of 1 / out_length pixel:
            // output i covers [a, b), source pixel j covers
            // [j * out_length, (j + 1) * out_length).
            const std::int64_t a =
                std::int64_t{rect_start} * out_length + std::int64_t{i} * rect_length;
            const std::int64_t b = a + rect_length;
            for (std::int64_t j = FloorDiv(a, out_length), end = CeilDiv(b, out_length); j < end;
                 ++j) {
                if (j < 0 || j >= source_length) continue;  // beyond the edge: black
                const std::int64_t lo = std::max(a, j * out_length);
                const std::int64_t hi = std::min(b, (j + 1) * out_length);
                if (hi <= lo) continue;
                index.push_back(static_cast<int>(j));
                weight.push_back(static_cast<double>(hi - lo) / rect_length);
            }
        } else {
            // Bilinear: sample at the output pixel's centre. A centre beyond
            // the screen is black; within it, the edge pixels are repeated,
            // so the screen's own border does not fade into black.
            const double scale = static_cast<double>(rect_length) / out_length;
            const double centre = rect_start + (i + 0.5) * scale;
            if (centre >= 0 && centre < source_length) {
                const double u = std::clamp(centre - 0.5, 0.0, source_length - 1.0);
                const int j = static_cast<int>(u);
                const double f = u - j;
                index.push_back(j);
                weight.push_back(1.0 - f);
                if (j + 1 < source_length) {
                    index.push_back(j + 1);
                    weight.push_back(f);
                }
            }
        }
        AppendTaps(index.data(), weight.data(), static_cast<int>(index.size()), taps);
    }
}

SourceRect PictureScaler::ReadRegion(int source_width, int source_height, SourceRect rect,
                                     int out_width, int out_height) {
    if (out_width <= 0 || out_height <= 0) return {};
    AxisTaps x_taps, y_taps;
    BuildTaps(source_width, rect.x, rect.width, out_width, x_taps);
    BuildTaps(source_height, rect.y, rect.height, out_height, y_taps);
    if (x_taps.index.empty() || y_taps.index.empty()) return {};
    const auto [left, right] = std::minmax_element(x_taps.index.begin(), x_taps.index.end());
    const auto [top, bottom] = std::minmax_element(y_taps.index.begin(), y_taps.index.end());
    return {*left, *top, *right - *left + 1, *bottom - *top + 1};
}

void PictureScaler::Scale(const BgrxImage& source, SourceRect rect, int out_width, int out_height,
                          std::uint8_t* out, std::size_t out_stride) {
    if (out_width <= 0 || out_height <= 0) return;
    BuildTaps(source.width, rect.x, rect.width, out_width, x_taps_);
    BuildTaps(source.height, rect.y, rect.height, out_height, y_taps_);
    ScaleOutputs(source, out, out_stride, {0, 0, out_width, out_height});
}

void PictureScaler::ScalePart(const BgrxImage& source, SourceRect rect, int out_width,
                              int out_height, std::uint8_t* out, std::size_t out_stride,
                              SourceRect changed) {
    if (out_width <= 0 || out_height <= 0) return;
    BuildTaps(source.width, rect.x, rect.width, out_width, x_taps_);
    BuildTaps(source.height, rect.y, rect.height, out_height, y_taps_);
    const auto [left, right] = OutputsReading(x_taps_, changed.x, changed.x + changed.width);
    const auto [top, bottom] = OutputsReading(y_taps_, changed.y, changed.y + changed.height);
    if (left < right && top < bottom) {
        ScaleOutputs(source, out, out_stride, {left, top, right - left, bottom - top});
    }
}

std::pair<int, int> PictureScaler::OutputsReading(const AxisTaps& taps, int begin, int end) {
    // Each output's taps are in increasing order, and so are the outputs'.
    int first = -1, last = -1;
    for (int i = 0; i + 1 < static_cast<int>(taps.start.size()); ++i) {
        const auto from = static_cast<std::size_t>(taps.start[static_cast<std::size_t>(i)]);
        const auto to = static_cast<std::size_t>(taps.start[static_cast<std::size_t>(i) + 1]);
        if (from == to || taps.index[to - 1] < begin || taps.index[from] >= end) continue;
        if (first < 0) first = i;
        last = i;
    }
    return first < 0 ? std::pair{0, 0} : std::pair{first, last + 1};
}

void PictureScaler::ScaleOutputs(const BgrxImage& source, std::uint8_t* out, std::size_t out_stride,
                                 SourceRect outputs) {
    const int out_height = static_cast<int>(y_taps_.start.size()) - 1;
    // Only the columns the outputs read are summed.
    int first_column = 0, end_column = 0;
    const auto taps_begin =
        static_cast<std::size_t>(x_taps_.start[static_cast<std::size_t>(outputs.x)]);
    const auto taps_end = static_cast<std::size_t>(
        x_taps_.start[static_cast<std::size_t>(outputs.x + outputs.width)]);
    if (taps_begin < taps_end) {
        const auto [lo, hi] =
            std::minmax_element(x_taps_.index.begin() + static_cast<std::ptrdiff_t>(taps_begin),
                                x_taps_.index.begin() + static_cast<std::ptrdiff_t>(taps_end));
        first_column = *lo;
        end_column = *hi + 1;
    }
    const std::size_t span = 4 * static_cast<std::size_t>(end_column - first_column);
    row_sums_.resize(span);

    for (int oy = outputs.y; oy < outputs.y + outputs.height; ++oy) {
        // Vertical pass first: it runs along whole rows, which the compiler
        // vectorises, and touches each screen row only for the outputs it feeds.
        std::uint32_t* const sums = row_sums_.data();
        std::fill(sums, sums + span, 0u);
        for (int k = y_taps_.start[oy]; k < y_taps_.start[oy + 1]; ++k) {
            const std::uint32_t w = y_taps_.weight[static_cast<std::size_t>(k)];
            const std::uint8_t* row =
                source.pixels +
                source.stride *
                    static_cast<std::size_t>(y_taps_.index[static_cast<std::size_t>(k)]) +
                4 * static_cast<std::size_t>(first_column);
            Accumulate(sums, row, span, w);
        }

        // Horizontal pass. A column sum is at most 255 * kOne; taking 6 bits
        // off keeps 8 fractional bits and lets the second weighting fit 32 bits.
        std::uint8_t* dst = out + out_stride * static_cast<std::size_t>(out_height - 1 - oy) +
                            3 * static_cast<std::size_t>(outputs.x);
        for (int ox = outputs.x; ox < outputs.x + outputs.width; ++ox, dst += 3) {
            std::uint32_t b = 0, g = 0, r = 0;
            for (int k = x_taps_.start[ox]; k < x_taps_.start[ox + 1]; ++k) {
                const std::uint32_t w = x_taps_.weight[static_cast<std::size_t>(k)];
                const std::uint32_t* p =
                    sums + 4 * static_cast<std::size_t>(x_taps_.index[static_cast<std::size_t>(k)] -
                                                        first_column);
                b += w * ((p[0] + 32) >> 6);
                g += w * ((p[1] + 32) >> 6);
                r += w * ((p[2] + 32) >> 6);
            }
            constexpr std::uint32_t kHalf = 1u << (kWeightBits + 8 - 1);
            dst[0] = static_cast<std::uint8_t>(
                std::min<std::uint32_t>((b + kHalf) >> (kWeightBits + 8), 255));
            dst[1] = static_cast<std::uint8_t>(
                std::min<std::uint32_t>((g + kHalf) >> (kWeightBits + 8), 255));
            dst[2] = static_cast<std::uint8_t>(
                std::min<std::uint32_t>((r + kHalf) >> (kWeightBits + 8), 255));
        }
    }
}

}  // namespace vemo::screen
