// Benchmarks: whole uploads through the window's logic (scripted view, simulated keyboard already
// in firmware-upload mode), from a HEX and from a BIN file of the same data: the window's own cost
// per block, status texts and progress included.
#include <benchmark/benchmark.h>

#include <chrono>
#include <thread>

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

// One scan of a bus with twelve HID interfaces: ten of other vendors, another product of the
// keyboard's maker, and the keyboard; and the same bus without the keyboard. The waits are real:
// every virtual millisecond the scan waits is slept.
void ScanTwelveInterfaces(benchmark::State& state, bool keyboardPresent) {
    for (auto _ : state) {
        state.PauseTiming();
        testsupport::WindowBench b;
        b.hid.Decoys().clear();
        for (int i = 0; i < 10; ++i)
            b.hid.Decoys().push_back({"sim:decoy/other-" + std::to_string(i), 0x046D,
                                      static_cast<std::uint16_t>(0xC000 + i), 0, false, false, false});
        b.hid.Decoys().push_back({"sim:decoy/same-maker", 0x2E5B, 0x0100, 0, false, false, false});
        if (!keyboardPresent) b.keyboard.Unplug();
        b.Open();
        std::int64_t slept = b.clock.NowMs();
        b.services.onTime = [&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(b.clock.NowMs() - slept));
            slept = b.clock.NowMs();
        };
        const std::int64_t start = b.clock.NowMs();
        state.ResumeTiming();
        b.Tick();
        state.PauseTiming();
        state.counters["virtual_s"] = static_cast<double>(b.clock.NowMs() - start) / 1000.0;
        state.ResumeTiming();
    }
}

void BM_ScanTwelveInterfacesKeyboardPresent(benchmark::State& state) { ScanTwelveInterfaces(state, true); }
BENCHMARK(BM_ScanTwelveInterfacesKeyboardPresent)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

void BM_ScanTwelveInterfacesNoKeyboard(benchmark::State& state) { ScanTwelveInterfaces(state, false); }
BENCHMARK(BM_ScanTwelveInterfacesNoKeyboard)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
