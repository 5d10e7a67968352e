// The SW-P-08 frame reader and door on any bytes two control systems and the switcher may
// send. The reader never holds more than its bound; every message it hands out is 1..255
// bytes and comes back the same through the writer's frame; every message the door sends fits
// in a frame; routes and locks stay within what the switcher has.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzInput.h"
#include "hub/swp08/CSwp08Door.h"
#include "hub/swp08/Swp08Frame.h"

namespace {

class CheckingOutput : public ISwp08Output, public IHubStore {
  public:
    void SendMessage(ClientId, const std::string& message) override {
        FUZZ_CHECK(!message.empty() && message.size() <= Swp08::kMaxMessage);
    }
    void LabelsChanged(const std::vector<LabelChange>&) override {}
    void Log(const std::string&) override {}
};

// The message read back from its own frame.
std::string RoundTrip(std::string_view message) {
    Swp08::CReader reader;
    std::string back;
    int messages = 0;
    reader.Feed(Swp08::Frame(message), [&](Swp08::CReader::Event event, std::string_view got) {
        FUZZ_CHECK(event == Swp08::CReader::Event::Message);
        back = got;
        ++messages;
    });
    FUZZ_CHECK(messages == 1);
    return back;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const int inputs = 1 + in.Byte() % 40;
    const int outputs = 1 + in.Byte() % 40;
    CHubState state(inputs, outputs, LabelNames{});
    CheckingOutput output;
    CCommandQueue queue(CCommandQueue::Settings::Unpaced(), {});
    CHub hub(state, output, queue);
    CSwp08Door door(hub, output);
    queue.LinkUp();
    hub.LinkUp();
    hub.EndLearning();
    Swp08::CReader readers[2];
    door.ClientConnected(1);
    door.ClientConnected(2);

    while (!in.Empty()) {
        const std::uint8_t what = in.Byte();
        const std::string_view chunk = in.Bytes(1 + in.Byte() % 64);
        if (what % 8 == 7) {
            hub.SwitcherBytes(chunk);
            continue;
        }
        const ClientId client = 1 + what % 2;
        Swp08::CReader& reader = readers[client - 1];
        reader.Feed(chunk, [&](Swp08::CReader::Event event, std::string_view message) {
            if (event != Swp08::CReader::Event::Message) {
                return;
            }
            FUZZ_CHECK(!message.empty() && message.size() <= Swp08::kMaxMessage);
            FUZZ_CHECK(RoundTrip(message) == message);
            door.Message(client, message);
            queue.Run();
        });
        FUZZ_CHECK(reader.Held() <= Swp08::CReader::kMaxFrame);
    }
    for (int o = 0; o < outputs; ++o) {
        FUZZ_CHECK(state.VideoRoute(o) >= -1 && state.VideoRoute(o) < inputs);
        FUZZ_CHECK(state.AudioRoute(o) >= -1 && state.AudioRoute(o) < inputs);
        FUZZ_CHECK(state.LockOwner(o) <= 2);
    }
    door.ClientGone(1);
    door.ClientGone(2);
    for (int o = 0; o < outputs; ++o) {
        FUZZ_CHECK(state.LockOwner(o) == kNoClient);
    }
    return 0;
}
