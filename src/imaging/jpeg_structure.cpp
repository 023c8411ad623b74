#include "imaging/jpeg_structure.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace vemo {
namespace {

// The limits of the decoders the pictures go to (libjpeg's): table slots,
// components in a frame and in a scan, blocks in one coding unit, the
// largest side, and the one sample precision they read.
constexpr int kTableSlots = 4;
constexpr int kMostComponents = 10;
constexpr int kMostScanComponents = 4;
constexpr int kMostBlocksInUnit = 10;
constexpr int kMostSide = 65500;
constexpr int kPrecision = 8;

constexpr std::uint8_t kHuffmanTables = 0xC4;
constexpr std::uint8_t kArithmeticConditioning = 0xCC;
constexpr std::uint8_t kQuantisationTables = 0xDB;
constexpr std::uint8_t kNumberOfLines = 0xDC;
constexpr std::uint8_t kRestartInterval = 0xDD;
constexpr std::uint8_t kComment = 0xFE;
constexpr std::uint8_t kJfifSegment = 0xE0;
constexpr std::uint8_t kAdobeSegment = 0xEE;

using Bytes = std::span<const std::uint8_t>;

std::size_t Big16(Bytes bytes, std::size_t at) {
    return std::size_t{bytes[at]} << 8 | bytes[at + 1];
}

bool IsRestartMarker(std::uint8_t marker) {
    return marker >= 0xD0 && marker <= 0xD7;
}

struct Component {
    std::uint8_t id = 0;
    int horizontal = 0;
    int vertical = 0;
    int quantisation = 0;
};

class LayoutReader {
  public:
    explicit LayoutReader(Bytes bytes) : bytes_(bytes) {}

    JpegLayout Read() {
        if (bytes_.size() < 4 || bytes_[0] != kJpegMarker || bytes_[1] != kJpegStartOfImage) {
            return std::move(layout_);
        }
        for (std::size_t at = 2;;) {
            if (at >= bytes_.size() || bytes_[at] != kJpegMarker) break;
            // Any number of fill bytes may stand before a marker.
            std::size_t code = at + 1;
            while (code < bytes_.size() && bytes_[code] == kJpegMarker)
                ++code;
            if (code >= bytes_.size()) break;
            const std::uint8_t marker = bytes_[code];
            if (marker == kJpegEndOfImage) {
                if (scanned_) {
                    layout_.whole = true;
                    layout_.end = code + 1;
                }
                break;
            }
            // Only segments with a length belong between the scans.
            if (marker == 0x00 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) break;
            if (code + 3 > bytes_.size()) break;
            const std::size_t length = Big16(bytes_, code + 1);
            if (length < 2 || code + 1 + length > bytes_.size()) break;
            if (!Segment(marker, bytes_.subspan(code + 3, length - 2))) break;
            at = code + 1 + length;
            if (marker == kJpegStartOfScan) {
                scanned_ = true;
                at = EndOfEntropyData(at);
            }
        }
        return std::move(layout_);
    }

  private:
    // Where the marker after a scan's entropy-coded data starts: its first
    // 0xFF, which is followed neither by a stuffed zero nor by a restart
    // marker. The size of the buffer when the data runs to its end.
    std::size_t EndOfEntropyData(std::size_t at) const {
        const std::size_t size = bytes_.size();
        while (at < size) {
            const void* found = std::memchr(bytes_.data() + at, kJpegMarker, size - at);
            if (found == nullptr) return size;
            const auto mark =
                static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - bytes_.data());
            std::size_t next = mark + 1;
            while (next < size && bytes_[next] == kJpegMarker)
                ++next;
            if (next >= size) return size;
            if (bytes_[next] != 0x00 && !IsRestartMarker(bytes_[next])) return next - 1;
            at = next + 1;
        }
        return size;
    }

    bool Segment(std::uint8_t marker, Bytes body) {
        switch (marker) {
            case 0xC0:
            case 0xC1:
            case 0xC2:
            case 0xC9:
            case 0xCA:
                return Frame(marker, body);
            case kHuffmanTables:
                return HuffmanTables(body);
            case kArithmeticConditioning:
                return ArithmeticConditioning(body);
            case kQuantisationTables:
                return QuantisationTables(body);
            case kRestartInterval:
                return body.size() == 2;
            case kJpegStartOfScan:
                return Scan(body);
            case kNumberOfLines:
            case kComment:
                return true;
            default:
                break;
        }
        if (marker < 0xE0 || marker > 0xEF) return false;  // frames and markers decoders refuse
        if (!scanned_) NoteApplicationSegment(marker, body);
        return true;
    }

    // The markers that tell how three or four components are to be read.
    void NoteApplicationSegment(std::uint8_t marker, Bytes body) {
        static constexpr std::uint8_t kJfif[] = {'J', 'F', 'I', 'F', 0};
        static constexpr std::uint8_t kAdobe[] = {'A', 'd', 'o', 'b', 'e'};
        if (marker == kJfifSegment && body.size() >= 14 &&
            std::memcmp(body.data(), kJfif, sizeof kJfif) == 0) {
            jfif_ = true;
        } else if (marker == kAdobeSegment && body.size() >= 12 &&
                   std::memcmp(body.data(), kAdobe, sizeof kAdobe) == 0) {
            adobe_transform_ = body[11];
        }
    }

    bool Frame(std::uint8_t marker, Bytes body) {
        if (layout_.frame || body.size() < 6) return false;
        JpegFrame frame;
        frame.precision = body[0];
        frame.height = static_cast<int>(Big16(body, 1));
        frame.width = static_cast<int>(Big16(body, 3));
        frame.components = body[5];
        layout_.frame = frame;
        if (frame.precision != kPrecision || frame.width < 1 || frame.height < 1 ||
            frame.width > kMostSide || frame.height > kMostSide || frame.components < 1 ||
            frame.components > kMostComponents ||
            body.size() != 6 + 3 * static_cast<std::size_t>(frame.components)) {
            return false;
        }
        int most_horizontal = 1;
        int most_vertical = 1;
        for (int index = 0; index < frame.components; ++index) {
            const Bytes entry = body.subspan(6 + 3 * static_cast<std::size_t>(index), 3);
            Component component{entry[0], entry[1] >> 4, entry[1] & 0x0F, entry[2]};
            if (component.horizontal < 1 || component.horizontal > 4 || component.vertical < 1 ||
                component.vertical > 4 || component.quantisation >= kTableSlots ||
                FindComponent(component.id) != nullptr) {
                return false;
            }
            most_horizontal = std::max(most_horizontal, component.horizontal);
            most_vertical = std::max(most_vertical, component.vertical);
            components_.push_back(component);
        }
        // Decoders scale each component up by whole factors only.
        for (const Component& component : components_) {
            if (most_horizontal % component.horizontal != 0 ||
                most_vertical % component.vertical != 0) {
                return false;
            }
        }
        progressive_ = marker == 0xC2 || marker == 0xCA;
        arithmetic_ = marker == 0xC9 || marker == 0xCA;
        return true;
    }

    bool HuffmanTables(Bytes body) {
        while (!body.empty()) {
            if (body.size() < 17) return false;
            const std::uint8_t slot = body[0];
            // 0x00-0x03: a DC table; 0x10-0x13: an AC table.
            if ((slot & 0xEF) >= kTableSlots) return false;
            const bool dc = (slot & 0x10) == 0;
            std::size_t count = 0;
            // Codes of each length are given in turn; all of them must fit
            // in that length without taking the code of all ones.
            std::uint32_t code = 0;
            for (int length = 1; length <= 16; ++length) {
                count += body[static_cast<std::size_t>(length)];
                code += body[static_cast<std::size_t>(length)];
                if (code >= (std::uint32_t{1} << length)) return false;
                code <<= 1;
            }
            if (count > 256 || body.size() < 17 + count) return false;
            if (dc) {
                // A DC value is the size of a difference: at most 15 bits.
                for (std::size_t value = 0; value < count; ++value)
                    if (body[17 + value] > 15) return false;
            }
            (dc ? dc_tables_ : ac_tables_)[slot & 0x0F] = true;
            body = body.subspan(17 + count);
        }
        return true;
    }

    static bool ArithmeticConditioning(Bytes body) {
        if (body.size() % 2 != 0) return false;
        for (std::size_t at = 0; at < body.size(); at += 2) {
            const std::uint8_t slot = body[at];
            const std::uint8_t value = body[at + 1];
            if (slot >= 32) return false;
            if (slot < 16 ? (value & 0x0F) > (value >> 4) : value < 1 || value > 63) return false;
        }
        return true;
    }

    bool QuantisationTables(Bytes body) {
        while (!body.empty()) {
            const int precision = body[0] >> 4;
            const int slot = body[0] & 0x0F;
            const std::size_t size = 1 + 64 * static_cast<std::size_t>(precision + 1);
            if (precision > 1 || slot >= kTableSlots || body.size() < size) return false;
            quantisation_[static_cast<std::size_t>(slot)] = true;
            body = body.subspan(size);
        }
        return true;
    }

    bool Scan(Bytes body) {
        if (!layout_.frame || body.empty()) return false;
        const std::size_t count = body[0];
        if (count < 1 || count > kMostScanComponents || body.size() != 4 + 2 * count) return false;
        const int first = body[1 + 2 * count];
        const int last = body[2 + 2 * count];
        const int high = body[3 + 2 * count] >> 4;
        const int low = body[3 + 2 * count] & 0x0F;
        if (progressive_ && !ProgressionFits(first, last, high, low, count)) return false;
        // A scan names its components in the frame's order, each once.
        std::ptrdiff_t previous = -1;
        int blocks = 0;
        for (std::size_t index = 0; index < count; ++index) {
            const Component* component = FindComponent(body[1 + 2 * index]);
            if (component == nullptr || component - components_.data() <= previous) return false;
            previous = component - components_.data();
            blocks += count == 1 ? 1 : component->horizontal * component->vertical;
            if (!quantisation_[static_cast<std::size_t>(component->quantisation)]) return false;
            const int dc = body[2 + 2 * index] >> 4;
            const int ac = body[2 + 2 * index] & 0x0F;
            if (arithmetic_) continue;
            const bool uses_dc = !progressive_ || (first == 0 && high == 0);
            const bool uses_ac = !progressive_ || first > 0;
            if ((uses_dc && !HuffmanTableAvailable(dc_tables_, dc)) ||
                (uses_ac && !HuffmanTableAvailable(ac_tables_, ac))) {
                return false;
            }
        }
        if (blocks > kMostBlocksInUnit) return false;
        if (!scanned_) layout_.frame->colour = Colour();
        return true;
    }

    // A progressive scan codes either the DC band of any components or one
    // band of AC coefficients of one, refining by one bit at a time.
    static bool ProgressionFits(int first, int last, int high, int low, std::size_t count) {
        const bool dc_band = first == 0;
        if (dc_band ? last != 0 : first > last || last > 63 || count != 1) return false;
        if (high != 0 && low != high - 1) return false;
        return low <= 13;
    }

    // A table given in the picture before the scan, or one of the two
    // standard ones that decoders supply for Motion JPEG (sequential
    // pictures only: a progressive one must bring its own).
    bool HuffmanTableAvailable(const std::array<bool, kTableSlots>& given, int slot) const {
        return slot < kTableSlots &&
               (given[static_cast<std::size_t>(slot)] || (slot < 2 && !progressive_));
    }

    const Component* FindComponent(std::uint8_t id) const {
        for (const Component& component : components_)
            if (component.id == id) return &component;
        return nullptr;
    }

    JpegColour Colour() const {
        switch (components_.size()) {
            case 1:
                return JpegColour::kGrey;
            case 3:
                if (jfif_) return JpegColour::kYCbCr;
                if (adobe_transform_ >= 0)
                    return adobe_transform_ == 0 ? JpegColour::kRgb : JpegColour::kYCbCr;
                return components_[0].id == 'R' && components_[1].id == 'G' &&
                               components_[2].id == 'B'
                           ? JpegColour::kRgb
                           : JpegColour::kYCbCr;
            case 4:
                return adobe_transform_ > 0 ? JpegColour::kYcck : JpegColour::kCmyk;
            default:
                return JpegColour::kOther;
        }
    }

    Bytes bytes_;
    JpegLayout layout_;
    std::vector<Component> components_;
    std::array<bool, kTableSlots> quantisation_{};
    std::array<bool, kTableSlots> dc_tables_{};
    std::array<bool, kTableSlots> ac_tables_{};
    bool progressive_ = false;
    bool arithmetic_ = false;
    bool scanned_ = false;
    bool jfif_ = false;
    int adobe_transform_ = -1;
};

}  // namespace

JpegLayout ReadJpegLayout(std::span<const std::uint8_t> bytes) {
    return LayoutReader(bytes).Read();
}

bool IsWholeJpeg(std::span<const std::uint8_t> picture) {
    return ReadJpegLayout(picture).whole;
}

}  // namespace vemo
