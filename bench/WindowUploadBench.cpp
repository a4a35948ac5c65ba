// Benchmarks: whole uploads through the window's logic (scripted view, simulated keyboard already
// in firmware-upload mode), from a HEX and from a BIN file of the same data: the window's own cost
// per block, status texts and progress included.
#include <benchmark/benchmark.h>

#include "support/FirmwareFiles.h"
#include "window/WindowBench.h"

namespace {

const std::vector<std::uint8_t>& Firmware() {
    static const auto data = testsupport::RandomBytes(0xE000, 1);  // 0x1200..0xF1FF
    return data;
}

void UploadThroughWindow(benchmark::State& state, const std::string& name, const std::string& contents) {
    testsupport::TempDir dir;
    const auto path = dir.Write(name, contents).string();
    int blocks = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto b = std::make_unique<testsupport::WindowBench>(sim::KeyboardConfig{.StartInUploadMode = true});
        b->hid.Decoys().clear();
        b->Open();
        b->Tick();
        b->view.file = path;
        state.ResumeTiming();
        b->Click(window::Button::Upload);
        state.PauseTiming();
        if (!b->window->LastUpload().Succeeded()) state.SkipWithError("upload failed");
        blocks += b->window->LastUpload().blocksSent;
        b.reset();
        state.ResumeTiming();
    }
    state.counters["blocks/s"] = benchmark::Counter(blocks, benchmark::Counter::kIsRate);
}

void BM_WindowUploadHex(benchmark::State& state) {
    UploadThroughWindow(state, "fw.hex", testsupport::HexText(0x1200, Firmware()));
}
BENCHMARK(BM_WindowUploadHex)->Unit(benchmark::kMillisecond);

void BM_WindowUploadBin(benchmark::State& state) {
    std::vector<std::uint8_t> bin(0x1200, 0xFF);
    bin.insert(bin.end(), Firmware().begin(), Firmware().end());
    UploadThroughWindow(state, "fw.bin", testsupport::AsText(bin));
}
BENCHMARK(BM_WindowUploadBin)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
