// Benchmarks: reading the largest HEX file the image holds, and a whole upload of it to the
// simulated keyboard (the program's own cost per block, without a USB round trip).
#include <benchmark/benchmark.h>

#include <optional>

#include "support/FirmwareFiles.h"
#include "support/SimBench.h"
#include "upload/FirmwareImage.h"
#include "upload/UploadSequence.h"

namespace {

struct QuietView final : upload::UploadView {
    void SetStatusText(const std::string&) override {}
    void SetBusyPointer(bool) override {}
    void SetProgress(std::int64_t, std::int64_t) override {}
    upload::MessageAnswer ShowMessage(const std::string&, upload::MessageStyle, const std::string&) override {
        return upload::MessageAnswer::OK;
    }
    void PumpEvents() override {}
    void Sleep(int) override {}
    void RequestRescan() override {}
    void SetPendingStatusText(const std::string&) override {}
};

const std::vector<std::uint8_t>& Firmware() {
    static const auto data = testsupport::RandomBytes(0xE000, 1);  // 0x1200..0xF1FF
    return data;
}

void BM_ReadHexFile(benchmark::State& state) {
    testsupport::TempDir dir;
    const auto path = dir.Write("fw.hex", testsupport::HexText(0x1200, Firmware())).string();
    upload::FirmwareImage image;
    for (auto _ : state) benchmark::DoNotOptimize(upload::LoadFirmwareImage(path, 0x1200, image));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * Firmware().size()));
}
BENCHMARK(BM_ReadHexFile)->Unit(benchmark::kMillisecond);

void BM_UploadToSimulatedKeyboard(benchmark::State& state) {
    testsupport::TempDir dir;
    const auto path = dir.Write("fw.hex", testsupport::HexText(0x1200, Firmware())).string();
    upload::FirmwareImage image;
    QuietView view;
    // Each upload gets a fresh keyboard; the previous one, and its temporary folder, go away
    // while the clock is stopped.
    std::optional<testsupport::SimBench> b;
    for (auto _ : state) {
        state.PauseTiming();
        b.reset();
        b.emplace(sim::KeyboardConfig{.StartInUploadMode = true});
        b->Find();
        state.ResumeTiming();
        const auto outcome = upload::UploadFirmware(b->connection, image, view, path, "1200", true);
        if (!outcome.Succeeded()) state.SkipWithError("upload failed");
    }
    state.counters["blocks/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * (Firmware().size() / 128 + 1), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_UploadToSimulatedKeyboard)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
