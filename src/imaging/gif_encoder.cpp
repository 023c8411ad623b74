#include "imaging/gif_encoder.h"

#include <algorithm>

#include "imaging/imaging_result.h"

namespace vemo {

GifEncoder::GifEncoder(std::FILE* output, const GifPictureInfo& picture)
    : output_(output),
      picture_(picture),
      row_(picture.width),
      code_slots_(kHashSize),
      key_slots_(kHashSize) {}

int GifEncoder::StartImage(int count, const std::uint8_t* const* map) {
    if (count > 256) return kErrTooManyColors;

    int b = 1;
    while ((1 << b) < count)
        ++b;
    const int entries = 1 << b;
    const int min_code_size = std::max(b, 2);
    const int shift = picture_.data_precision - 8;

    std::vector<std::uint8_t> head;
    head.reserve(13 + 3 * 256 + 11);
    auto put16 = [&head](std::uint32_t value) {
        head.push_back(static_cast<std::uint8_t>(value & 0xff));
        head.push_back(static_cast<std::uint8_t>((value >> 8) & 0xff));
    };
    for (char c : {'G', 'I', 'F', '8', '7', 'a'})
        head.push_back(static_cast<std::uint8_t>(c));
    put16(picture_.width);
    put16(picture_.height);
    head.push_back(static_cast<std::uint8_t>(0x80 + ((b - 1) << 4) + (b - 1)));
    head.push_back(0);  // background colour index
    head.push_back(0);  // no aspect ratio
    for (int i = 0; i < entries; ++i) {
        std::uint8_t rgb[3] = {0, 0, 0};
        if (i < count && map != nullptr) {
            for (int c = 0; c < 3; ++c) {
                rgb[c] = static_cast<std::uint8_t>(map[picture_.rgb ? c : 0][i] >> shift);
            }
        } else if (i < count && count > 1) {
            rgb[0] = rgb[1] = rgb[2] =
                static_cast<std::uint8_t>((i * 255 + (count - 1) / 2) / (count - 1));
        }
        head.insert(head.end(), rgb, rgb + 3);
    }
    head.push_back(0x2C);
    put16(0);
    put16(0);
    put16(picture_.width);
    put16(picture_.height);
    head.push_back(0x00);  // no local colour table, not interlaced
    head.push_back(static_cast<std::uint8_t>(min_code_size));
    // Header bytes are not checked one by one: FinishImage checks the stream.
    std::fwrite(head.data(), 1, head.size(), output_);

    start_code_width_ = code_width_ = min_code_size + 1;
    code_limit_ = (1 << code_width_) - 1;
    clear_code_ = 1 << min_code_size;
    end_code_ = clear_code_ + 1;
    next_code_ = clear_code_ + 2;
    prefix_empty_ = true;
    block_used_ = 0;
    pending_bits_ = 0;
    pending_bit_count_ = 0;
    std::fill(code_slots_.begin(), code_slots_.end(), std::int16_t{0});
    Emit(clear_code_);
    return 0;
}

void GifEncoder::WriteRow(int /*rows*/) {
    const std::uint8_t* index = row_.data();
    const std::uint8_t* const end = index + row_.size();
    if (index == end) return;
    if (prefix_empty_) {
        prefix_code_ = *index++;
        prefix_empty_ = false;
    }
    // The coder's state lives in locals for the row: the block bytes written
    // below could otherwise alias every member and force reloads per index.
    std::int16_t* const codes = code_slots_.data();
    std::int32_t* const keys = key_slots_.data();
    std::uint8_t* const block = block_.data();
    int prefix = prefix_code_;
    int next_code = next_code_;
    int code_width = code_width_;
    int code_limit = code_limit_;
    std::uint32_t pending_bits = pending_bits_;
    int pending_bit_count = pending_bit_count_;
    int block_used = block_used_;

    const auto emit = [&](int code) {
        pending_bits |= static_cast<std::uint32_t>(code) << pending_bit_count;
        pending_bit_count += code_width;
        while (pending_bit_count >= 8) {
            block[++block_used] = static_cast<std::uint8_t>(pending_bits & 0xff);
            if (block_used == 255) {
                block_used_ = block_used;
                WriteBlock();
                block_used = 0;
            }
            pending_bits >>= 8;
            pending_bit_count -= 8;
        }
        if (next_code > code_limit) {
            ++code_width;
            code_limit = code_width == 12 ? kMaxCode : (1 << code_width) - 1;
        }
    };

    for (; index != end; ++index) {
        const int x = *index;
        // The slot is an addition of index and prefix, not an exclusive or.
        int i = (x << 4) + prefix;
        if (i >= kHashSize) i -= kHashSize;
        const std::int32_t key = (prefix << 8) + x;
        if (codes[i] != 0) {
            if (keys[i] == key) {
                prefix = codes[i];
                continue;
            }
            const int step = (i == 0) ? 1 : kHashSize - i;
            bool found = false;
            do {
                i -= step;
                if (i < 0) i += kHashSize;
                if (codes[i] == 0) break;
                found = keys[i] == key;
            } while (!found);
            if (found) {
                prefix = codes[i];
                continue;
            }
        }
        // A new string: send its longest known prefix, then remember it.
        emit(prefix);
        if (next_code < kMaxCode) {
            codes[i] = static_cast<std::int16_t>(next_code++);
            keys[i] = key;
        } else {
            // The table is full: start afresh, with the clear code still sent
            // at the full width.
            std::fill(code_slots_.begin(), code_slots_.end(), std::int16_t{0});
            next_code = clear_code_ + 2;
            emit(clear_code_);
            code_width = start_code_width_;
            code_limit = (1 << code_width) - 1;
        }
        prefix = x;
    }
    prefix_code_ = prefix;
    next_code_ = next_code;
    code_width_ = code_width;
    code_limit_ = code_limit;
    pending_bits_ = pending_bits;
    pending_bit_count_ = pending_bit_count;
    block_used_ = block_used;
}

int GifEncoder::FinishImage() {
    if (!prefix_empty_) Emit(prefix_code_);
    Emit(end_code_);
    if (pending_bit_count_ > 0) AppendByte(static_cast<std::uint8_t>(pending_bits_ & 0xff));
    WriteBlock();
    std::fputc(0x00, output_);
    std::fputc(0x3B, output_);
    if (std::fflush(output_) != 0 || std::ferror(output_) != 0) failed_ = true;
    return failed_ ? kErrFileWrite : 0;
}

void GifEncoder::Emit(int code) {
    pending_bits_ |= static_cast<std::uint32_t>(code) << pending_bit_count_;
    pending_bit_count_ += code_width_;
    while (pending_bit_count_ >= 8) {
        AppendByte(static_cast<std::uint8_t>(pending_bits_ & 0xff));
        pending_bits_ >>= 8;
        pending_bit_count_ -= 8;
    }
    // Widen after the code went out and before the next code is assigned:
    // this keeps the widths in step with a decoder, whose table lags by one.
    if (next_code_ > code_limit_) {
        ++code_width_;
        code_limit_ = code_width_ == 12 ? kMaxCode : (1 << code_width_) - 1;
    }
}

void GifEncoder::AppendByte(std::uint8_t byte) {
    block_[static_cast<std::size_t>(++block_used_)] = byte;
    if (block_used_ == 255) WriteBlock();
}

void GifEncoder::WriteBlock() {
    if (block_used_ == 0) return;
    block_[0] = static_cast<std::uint8_t>(block_used_);
    const std::size_t size = static_cast<std::size_t>(block_used_) + 1;
    if (std::fwrite(block_.data(), 1, size, output_) != size) failed_ = true;
    block_used_ = 0;
}

}  // namespace vemo
