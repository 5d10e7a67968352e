// The router-protocol request reader and engine on any bytes two router clients, a raw client
// and the switcher may send. Every block the reader hands out keeps within its limits (a
// refused one keeps nothing); every request is answered first with ACK or NAK; everything a
// client is sent is whole blocks; only whole commands reach the switcher; routes, locks and
// labels stay within what the router has, and labels hold no control characters.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzInput.h"
#include "hub/router/CRouterDoor.h"
#include "hub/router/RequestReader.h"

namespace {

class CheckingOutput : public IRouterOutput, public IHubStore {
  public:
    void SendToClient(ClientId, const std::string& bytes) override {
        FUZZ_CHECK(bytes.size() >= 2 && bytes.compare(bytes.size() - 2, 2, "\n\n") == 0);
        last = bytes;
        ++sends;
    }
    void LabelsChanged(const std::vector<LabelChange>&) override {}
    void ResumeClient(ClientId) override {}
    void CloseClient(ClientId, const std::string&) override {}
    void Log(const std::string&) override {}

    std::string last;
    std::size_t sends = 0;
};

CCommandQueue::Events Checking() {
    CCommandQueue::Events events;
    events.write = [](ClientId, const std::string& command) {
        FUZZ_CHECK(!command.empty() && (command.back() == '.' || command.back() == ';'));
    };
    return events;
}

void CheckBlock(const RouterRequest& block) {
    FUZZ_CHECK(block.lines.size() <= CRequestReader::kMaxBlockLines);
    if (block.fault != RouterRequest::Fault::None) {
        FUZZ_CHECK(block.header.empty() && block.lines.empty());
    }
    FUZZ_CHECK(block.header.size() <= CRequestReader::kMaxLine);
    for (const std::string& line : block.lines) {
        FUZZ_CHECK(!line.empty() && line.size() <= CRequestReader::kMaxLine);
        FUZZ_CHECK(line.find('\n') == std::string::npos);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const int inputs = 1 + in.Byte() % 40;
    const int outputs = 1 + in.Byte() % 40;
    CHubState state(inputs, outputs, LabelNames{});
    CheckingOutput output;
    CCommandQueue queue(CCommandQueue::Settings::Unpaced(), Checking());
    CHub hub(state, output, queue);
    CRouterDoor core(hub, output, RouterIdentity{});
    queue.LinkUp();
    hub.LinkUp();
    hub.EndLearning();
    CRequestReader readers[2];
    core.ClientConnected(1);
    core.ClientConnected(2);

    std::vector<RouterRequest> blocks;
    while (!in.Empty()) {
        const std::uint8_t what = in.Byte();
        const std::string_view chunk = in.Bytes(1 + in.Byte() % 64);
        if (what % 8 == 7) {
            hub.SwitcherBytes(chunk);
            continue;
        }
        if (what % 8 == 6) {
            hub.SubmitRaw(3, std::string(chunk) + ".");
            queue.Run();
            continue;
        }
        const ClientId client = 1 + what % 2;
        blocks.clear();
        readers[client - 1].Feed(chunk, blocks);
        for (const RouterRequest& block : blocks) {
            CheckBlock(block);
            const std::size_t before = output.sends;
            core.Request(client, block);
            FUZZ_CHECK(output.sends > before);
            queue.Run();
        }
    }
    for (int o = 0; o < outputs; ++o) {
        FUZZ_CHECK(state.VideoRoute(o) >= -1 && state.VideoRoute(o) < inputs);
        FUZZ_CHECK(state.LockOwner(o) <= 2);
    }
    for (const auto* side : {&state.Labels().inputs, &state.Labels().outputs}) {
        for (const auto& [number, name] : *side) {
            FUZZ_CHECK(number >= 1 && !name.empty() && NormalizeLabel(name) == name);
            for (const char c : name) {
                FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
            }
        }
    }
    return 0;
}
