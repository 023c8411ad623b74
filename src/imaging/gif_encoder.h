#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace vemo {

// What the encoder needs to know of the picture it codes.
struct GifPictureInfo {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    int data_precision = 8;  // bits per sample of the colour map
    bool rgb = true;         // colour map of three rows; false: one grey row
};

// Writes one picture of colour indices as a GIF87a file: a global colour
// table, one image covering the screen, LZW codes of up to 12 bits found
// through a 5003-slot hash table, data in sub-blocks of up to 255 bytes.
//
// Use: StartImage, then fill row() and call WriteRow once per row, top to
// bottom, then FinishImage. Write failures are latched; failed() tells.
class GifEncoder {
  public:
    GifEncoder(std::FILE* output, const GifPictureInfo& picture);
    GifEncoder(const GifEncoder&) = delete;
    GifEncoder& operator=(const GifEncoder&) = delete;

    // The row buffer: width indices, filled by the caller before WriteRow.
    std::uint8_t* row() { return row_.data(); }

    // Writes everything up to the minimum code size and starts the coder.
    // `map` is the colour map (three rows for colour, one for grey) or null
    // for a grey ramp. Returns 0, or 1039 when count exceeds 256 (nothing is
    // written then).
    int StartImage(int count, const std::uint8_t* const* map);

    // Codes the row buffer; `rows` is always 1 and not otherwise used.
    void WriteRow(int rows = 1);

    // Ends the data and the file and flushes it. Returns 0, or 37 when any
    // write failed.
    int FinishImage();

    bool failed() const { return failed_; }

  private:
    static constexpr int kHashSize = 5003;
    static constexpr int kMaxCode = 4096;

    void Emit(int code);
    void AppendByte(std::uint8_t byte);
    void WriteBlock();

    std::FILE* output_;
    GifPictureInfo picture_;
    std::vector<std::uint8_t> row_;

    int code_width_ = 0;
    int code_limit_ = 0;
    int start_code_width_ = 0;
    std::uint32_t pending_bits_ = 0;
    int pending_bit_count_ = 0;
    int prefix_code_ = 0;
    bool prefix_empty_ = true;
    int clear_code_ = 0;
    int end_code_ = 0;
    int next_code_ = 0;
    std::vector<std::int16_t> code_slots_;  // 0 marks an empty slot
    std::vector<std::int32_t> key_slots_;   // (prefix << 8) + index
    int block_used_ = 0;
    std::array<std::uint8_t, 256> block_{};  // [0] length, [1..255] data
    bool failed_ = false;
};

}  // namespace vemo
