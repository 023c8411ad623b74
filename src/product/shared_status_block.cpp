#include "product/shared_status_block.h"

#include <array>

namespace vemo {
namespace {

alignas(8) std::array<std::uint8_t, SharedStatusBlock::kSize> private_record{};
SharedStatusBlock current_block(private_record.data());

}  // namespace

SharedStatusBlock& shared_status_block() {
    return current_block;
}

void AttachSharedStatusBlock(void* record) {
    current_block = SharedStatusBlock(record != nullptr ? record : private_record.data());
}

}  // namespace vemo
