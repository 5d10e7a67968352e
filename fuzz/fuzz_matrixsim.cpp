// The simulator's command reader and switcher on any bytes a peer may send. Each command the
// reader cuts ends at its first "." or ";", or is a module command on one line; every answer is
// made of lines ended by CR LF; every route line names an output and an input the switcher has and
// tells the state the switcher is in after the command.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/FuzzInput.h"
#include "platform/LeadingInt.h"
#include "tools/matrixsim/CCommandReader.h"
#include "tools/matrixsim/CSwitcherSim.h"

namespace {

void CheckRouteLine(const CSwitcherSim& sim, int inputs, int outputs, std::string_view line) {
    const std::size_t colon = line.find(':');
    const std::size_t arrow = line.find("->");
    if (colon == std::string_view::npos || arrow == std::string_view::npos || arrow < colon) {
        return;
    }
    const std::string_view kind = line.substr(0, colon);
    if (kind != "AV" && kind != "A" && kind != "V") {
        return;
    }
    const int input = LeadingInt(line.substr(colon + 1, arrow - colon - 1));
    const int output = LeadingInt(line.substr(arrow + 2));
    FUZZ_CHECK(output >= 1 && output <= outputs);
    FUZZ_CHECK(input >= 0 && input <= inputs);
    FUZZ_CHECK((input == 0) == (line.find(" OFF") != std::string_view::npos));
    if (kind != "V") {
        FUZZ_CHECK(sim.Audio(output) == input);
    }
    if (kind != "A") {
        FUZZ_CHECK(sim.Video(output) == input);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const int inputs = 1 + in.Byte() % 40;
    const int outputs = 1 + in.Byte() % 40;
    CSwitcherSim sim(inputs, outputs);
    CCommandReader reader;

    while (!in.Empty()) {
        const std::string_view chunk = in.Bytes(1 + in.Byte() % 64);
        for (const std::string& command : reader.Feed(chunk)) {
            FUZZ_CHECK(!command.empty());
            if (command.rfind("AT", 0) == 0) {
                FUZZ_CHECK(command.find_first_of("\r\n") == std::string::npos);
            } else {
                FUZZ_CHECK(command.find_first_of(".;") == command.size() - 1);
            }

            const std::string answer = sim.Answer(command);
            FUZZ_CHECK(answer.size() >= 2 && answer.compare(answer.size() - 2, 2, "\r\n") == 0);
            std::string_view rest(answer);
            while (!rest.empty()) {
                const std::size_t end = rest.find("\r\n");
                FUZZ_CHECK(end != std::string_view::npos);
                const std::string_view line = rest.substr(0, end);
                FUZZ_CHECK(line.find_first_of("\r\n") == std::string_view::npos);
                CheckRouteLine(sim, inputs, outputs, line);
                rest.remove_prefix(end + 2);
            }
            for (int o = 1; o <= outputs; ++o) {
                FUZZ_CHECK(sim.Audio(o) >= 0 && sim.Audio(o) <= inputs);
                FUZZ_CHECK(sim.Video(o) >= 0 && sim.Video(o) <= inputs);
            }
        }
        FUZZ_CHECK(reader.Pending().size() <= CCommandReader::kMaxPending);
    }
    return 0;
}
