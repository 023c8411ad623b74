#pragma once

// The record the engine shares with the product, as the engine sees it. Each
// field is one byte that another process may read or write at any time, so
// every access is a single atomic byte load or store.

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace vemo {

class SharedStatusBlock {
  public:
    static constexpr std::size_t kSize = 4096;

    // Byte offsets of the fields shared with the product.
    static constexpr std::size_t kProductReady = 4;
    static constexpr std::size_t kEngineRunning = 5;
    static constexpr std::size_t kCameraBusy = 13;
    static constexpr std::size_t kScreenBusy = 14;
    // Bytes the product leaves free: the running engine's process id, four
    // bytes little-endian, so a marker left by a killed engine can be taken over.
    static constexpr std::size_t kEnginePid = 16;

    // A view of `record`, which must hold kSize bytes and outlive the view.
    explicit SharedStatusBlock(void* record) : bytes_(static_cast<std::uint8_t*>(record)) {}

    std::uint8_t product_ready() const { return Load(kProductReady); }
    std::uint8_t engine_running() const { return Load(kEngineRunning); }
    std::uint8_t camera_busy() const { return Load(kCameraBusy); }
    std::uint8_t screen_busy() const { return Load(kScreenBusy); }

    void set_product_ready(std::uint8_t value) { Store(kProductReady, value); }
    void set_engine_running(std::uint8_t value) { Store(kEngineRunning, value); }
    void set_camera_busy(std::uint8_t value) { Store(kCameraBusy, value); }
    void set_screen_busy(std::uint8_t value) { Store(kScreenBusy, value); }

    std::uint32_t engine_pid() const {
        std::uint32_t pid = 0;
        for (std::size_t i = 0; i < 4; ++i)
            pid |= std::uint32_t{Load(kEnginePid + i)} << (8 * i);
        return pid;
    }
    void set_engine_pid(std::uint32_t pid) {
        for (std::size_t i = 0; i < 4; ++i) {
            Store(kEnginePid + i, static_cast<std::uint8_t>(pid >> (8 * i)));
        }
    }

    void* record() const { return bytes_; }

  private:
    std::uint8_t Load(std::size_t offset) const {
        return std::atomic_ref<std::uint8_t>(bytes_[offset]).load();
    }
    void Store(std::size_t offset, std::uint8_t value) {
        std::atomic_ref<std::uint8_t>(bytes_[offset]).store(value);
    }

    std::uint8_t* bytes_;
};

// The block the engine raises its busy bytes in. Until the engine attaches
// the product's record, this is a private record of the process, so the
// publishing code always has a block to write to.
SharedStatusBlock& shared_status_block();
void AttachSharedStatusBlock(void* record);

}  // namespace vemo
