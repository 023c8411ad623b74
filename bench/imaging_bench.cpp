// Costs of the imaging core: the JPEG writer, the JPEG-to-GIF conversion, one
// published camera frame, and our LZW coder beside giflib's on the same indices.
//
//   build/release/bench/imaging_bench --benchmark_repetitions=9
//       --benchmark_report_aggregates_only=true

#include <benchmark/benchmark.h>

#include <gif_lib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "imaging/gif_encoder.h"
#include "imaging/jpeg_to_gif.h"
#include "imaging/jpeg_writer.h"

namespace {

namespace fs = std::filesystem;

// Files go to a private directory under /tmp, removed at exit.
const fs::path& WorkDir() {
    static const fs::path dir = [] {
        std::string pattern = (fs::temp_directory_path() / "vemo-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        std::atexit([] { fs::remove_all(WorkDir()); });
        return fs::path(pattern);
    }();
    return dir;
}

std::string WorkFile(const std::string& name) {
    return (WorkDir() / name).string();
}

// A camera-like frame: smooth gradients, a few edges and sensor noise, as
// bottom-up blue-green-red rows with padded stride.
std::vector<std::uint8_t> CameraFrame(std::uint32_t width, std::uint32_t height) {
    std::mt19937 noise(1);
    const std::size_t stride = vemo::JpegRowStride(width, 24);
    std::vector<std::uint8_t> pixels(stride * height);
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            std::uint8_t* p = &pixels[y * stride + 3 * x];
            const int shade = static_cast<int>(noise() % 9) - 4;
            const bool edge = ((x / 64) + (y / 48)) % 3 == 0;
            p[0] = static_cast<std::uint8_t>(std::clamp(int(x * 200 / width) + shade, 0, 255));
            p[1] = static_cast<std::uint8_t>(std::clamp(int(y * 180 / height) + shade, 0, 255));
            p[2] = static_cast<std::uint8_t>(edge ? 220 + shade : 60 + shade);
        }
    }
    return pixels;
}

void WriteFrame(const std::vector<std::uint8_t>& frame, std::vector<std::uint8_t>& scratch,
                std::uint32_t width, std::uint32_t height, const std::string& path) {
    scratch = frame;  // the writer swaps channels in place: refill every time
    vemo::JpegWriteJob job{};
    job.width = width;
    job.height = height;
    job.quality = 75;
    job.bits_per_pixel = 24;
    job.path = path;
    job.pixels = scratch.data();
    if (!vemo::WriteJpegFrame(job)) std::abort();
}

void BM_WriteJpegFrame(benchmark::State& state) {
    const auto width = static_cast<std::uint32_t>(state.range(0));
    const auto height = static_cast<std::uint32_t>(state.range(1));
    const auto frame = CameraFrame(width, height);
    std::vector<std::uint8_t> scratch;
    for (auto _ : state)
        WriteFrame(frame, scratch, width, height, WorkFile("frame.jpg"));
}
BENCHMARK(BM_WriteJpegFrame)->Args({640, 480})->Args({1920, 1080})->Unit(benchmark::kMillisecond);

vemo::GifConvertJob GifJob(const std::string& input, std::uint32_t max_width,
                           std::uint32_t max_height, int colors) {
    vemo::GifConvertJob job{};
    job.max_width = max_width;
    job.max_height = max_height;
    job.colors = colors;
    job.input_path = input;
    job.output_path = WorkFile("frame.gif");
    return job;
}

void BM_ConvertJpegToGif(benchmark::State& state) {
    const auto frame = CameraFrame(640, 480);
    std::vector<std::uint8_t> scratch;
    WriteFrame(frame, scratch, 640, 480, WorkFile("source.jpg"));
    const auto job =
        GifJob(WorkFile("source.jpg"), static_cast<std::uint32_t>(state.range(0)),
               static_cast<std::uint32_t>(state.range(1)), static_cast<int>(state.range(2)));
    for (auto _ : state) {
        if (!vemo::ConvertJpegToGif(job)) std::abort();
    }
}
BENCHMARK(BM_ConvertJpegToGif)
    ->ArgNames({"max_w", "max_h", "colors"})
    ->Args({160, 120, 256})
    ->Args({160, 120, 8})
    ->Args({120, 90, 256})
    ->Args({120, 90, 8})
    ->Unit(benchmark::kMillisecond);

// What one camera frame costs to publish at 640x480: the JPEG, then the GIF
// made from it within the default 120-pixel width and 256 colours.
void BM_PublishCameraFrame(benchmark::State& state) {
    const auto frame = CameraFrame(640, 480);
    std::vector<std::uint8_t> scratch;
    const auto job = GifJob(WorkFile("published.jpg"), 120, 90, 256);
    for (auto _ : state) {
        WriteFrame(frame, scratch, 640, 480, WorkFile("published.jpg"));
        if (!vemo::ConvertJpegToGif(job)) std::abort();
    }
}
BENCHMARK(BM_PublishCameraFrame)->Unit(benchmark::kMillisecond);

// Quantized-looking indices: runs of a few hundred colours.
std::vector<std::uint8_t> IndexPicture(int width, int height) {
    std::mt19937 random(3);
    std::vector<std::uint8_t> indices(static_cast<std::size_t>(width) * height);
    std::uint8_t value = 0;
    for (auto& index : indices) {
        if (random() % 4 == 0) value = static_cast<std::uint8_t>(random());
        index = value;
    }
    return indices;
}

void BM_GifEncoder(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0)), height = static_cast<int>(state.range(1));
    const auto indices = IndexPicture(width, height);
    for (auto _ : state) {
        std::FILE* file = std::fopen(WorkFile("ours.gif").c_str(), "wb");
        vemo::GifEncoder encoder(
            file, {static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height), 8, true});
        encoder.StartImage(256, nullptr);
        for (int y = 0; y < height; ++y) {
            std::copy_n(indices.begin() + static_cast<long>(y) * width, width, encoder.row());
            encoder.WriteRow(1);
        }
        if (encoder.FinishImage() != 0) std::abort();
        std::fclose(file);
    }
}
BENCHMARK(BM_GifEncoder)->Args({160, 120})->Args({1920, 1080})->Unit(benchmark::kMicrosecond);

// giflib's encoder on the same indices, for comparison.
void BM_GiflibEncoder(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0)), height = static_cast<int>(state.range(1));
    auto indices = IndexPicture(width, height);
    std::vector<GifColorType> colours(256);
    for (int i = 0; i < 256; ++i) {
        colours[i] = {static_cast<GifByteType>(i), static_cast<GifByteType>(i),
                      static_cast<GifByteType>(i)};
    }
    for (auto _ : state) {
        int error = 0;
        GifFileType* gif = EGifOpenFileName(WorkFile("giflib.gif").c_str(), false, &error);
        ColorMapObject* map = GifMakeMapObject(256, colours.data());
        EGifPutScreenDesc(gif, width, height, 8, 0, map);
        EGifPutImageDesc(gif, 0, 0, width, height, false, nullptr);
        for (int y = 0; y < height; ++y) {
            EGifPutLine(gif, indices.data() + static_cast<long>(y) * width, width);
        }
        EGifCloseFile(gif, &error);
        GifFreeMapObject(map);
    }
}
BENCHMARK(BM_GiflibEncoder)->Args({160, 120})->Args({1920, 1080})->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
