// The in-process paths a large file crosses: base64 at the bridge, reading the request line and
// writing the answer line.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <random>

#include "App/Bridge/Base64.h"
#include "Host/Core/MessageLine.h"
#include "Host/Core/RequestParser.h"
#include "Platform/Desktop/StandardOutputConsole.h"

using host::MessageLine;
using host::RequestParser;

namespace {

constexpr std::size_t fileSize = 64 << 20;

const std::string& randomBytes() {
    static const std::string bytes = [] {
        std::string made(fileSize, '\0');
        std::mt19937_64 random(7);
        for (std::size_t i = 0; i + 8 <= made.size(); i += 8) {
            std::uint64_t word = random();
            std::memcpy(made.data() + i, &word, 8);
        }
        return made;
    }();
    return bytes;
}

// Each engine the processor runs, into memory already touched, so the figure is the engine's
// own and not the page faults of a fresh buffer.
void Base64Encode(benchmark::State& state) {
    auto engine = static_cast<base64::Engine>(state.range(0));
    std::string text = base64::encode(randomBytes());
    for (auto _ : state) {
        base64::encodeInto(randomBytes(), text.data(), engine);
        benchmark::ClobberMemory();
    }
    state.SetLabel(base64::engineName(engine));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * fileSize));
}

void Base64Decode(benchmark::State& state) {
    auto engine = static_cast<base64::Engine>(state.range(0));
    const std::string text = base64::encode(randomBytes());
    std::string work = text;
    for (auto _ : state) {
        state.PauseTiming();
        work.assign(text);
        state.ResumeTiming();
        benchmark::DoNotOptimize(base64::decodeInPlace(work, engine));
    }
    state.SetLabel(base64::engineName(engine));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void everyEngine(benchmark::internal::Benchmark* benchmark) {
    for (base64::Engine engine : base64::availableEngines()) {
        benchmark->Arg(static_cast<int>(engine));
    }
}
BENCHMARK(Base64Encode)->Apply(everyEngine)->Unit(benchmark::kMillisecond);
BENCHMARK(Base64Decode)->Apply(everyEngine)->Unit(benchmark::kMillisecond);

void ParseWriteFileRequest(benchmark::State& state) {
    std::string line =
        R"({"id":1,"plugin":"OfflineStoragePlugin","method":"writeFile","options":{"filename":"a.bin","data":")" +
        base64::encode(randomBytes()) + "\"}}";
    RequestParser parser;
    for (auto _ : state) {
        state.PauseTiming();
        std::string copy;
        copy.reserve(line.size() + RequestParser::padding());
        copy = line;
        state.ResumeTiming();
        benchmark::DoNotOptimize(parser.parse(std::move(copy)));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * line.size()));
}
BENCHMARK(ParseWriteFileRequest)->Unit(benchmark::kMillisecond);

void WriteReadFileAnswer(benchmark::State& state) {
    CAPCallResult result{true, JSObject{{"data", base64::encode(randomBytes())}}, {}};
    int devNull = ::open("/dev/null", O_WRONLY);
    StandardOutputConsole console(devNull);
    for (auto _ : state) {
        MessageLine::printAnswer(console, "1", result);
    }
    ::close(devNull);
    state.SetBytesProcessed(static_cast<std::int64_t>(
        state.iterations() * (*result.data)["data"].get_ref<const std::string&>().size()));
}
BENCHMARK(WriteReadFileAnswer)->Unit(benchmark::kMillisecond);

// Many short strings and numbers, as a listFiles answer over a large store carries.
void WriteListFilesAnswer(benchmark::State& state) {
    JSObject files = JSObject::array();
    for (int i = 0; i < 10000; ++i) {
        files.push_back({{"name", "song-" + std::to_string(i) + ".mp3"}, {"size", i * 4096}});
    }
    CAPCallResult result{true, JSObject{{"files", std::move(files)}}, {}};
    for (auto _ : state) {
        benchmark::DoNotOptimize(MessageLine::answerText("1", result));
    }
}
BENCHMARK(WriteListFilesAnswer)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
