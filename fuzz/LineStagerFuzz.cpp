// A long line read in pieces: whatever the stager keeps and stages, the request the parser reads
// from it, once its staged option is given back as text, must be the one the whole line makes.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Host/Stdio/LineStager.h"
#include "Platform/Desktop/DesktopFileSystem.h"
#include "TemporaryDirectory.h"

namespace {
struct NoResponder : CAPCallResponder {
    void respond(const std::string&, CAPCallResult) override {}
};

host::ParsedRequest parsed(std::string line) {
    line.reserve(line.size() + host::RequestParser::padding());
    return host::RequestParser().parse(std::move(line));
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static TemporaryDirectory container;
    static DesktopFileSystem files(container.path());
    if (size == 0) {
        return 0;
    }
    std::size_t pieceSize = data[0] % 16 + 1;
    std::string_view line(reinterpret_cast<const char*>(data) + 1, size - 1);
    host::LineStager stager(files, 8);
    for (std::size_t at = 0; at < line.size(); at += pieceSize) {
        stager.add(line.substr(at, pieceSize));
    }
    auto kept = parsed(stager.takeLine());
    auto whole = parsed(std::string(line));
    if (kept.request.has_value() != whole.request.has_value() || kept.id != whole.id ||
        kept.error != whole.error) {
        std::abort();
    }
    if (!kept.request) {
        return 0;
    }
    stager.settle(*kept.request);
    CAPPluginCall call("1", "m", kept.request->options, std::make_shared<NoResponder>());
    if (auto carried = stager.takeCarried()) {
        call.attachPayload(std::move(carried->key), std::move(carried->payload));
    }
    call.settlePayload(std::nullopt);  // a method that takes no bytes reads its options as text
    if (call.options() != whole.request->options ||
        kept.request->members != whole.request->members) {
        std::abort();
    }
    call.resolve();
    return 0;
}
