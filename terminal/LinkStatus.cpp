#include "terminal/LinkStatus.h"

namespace {

const char* StateName(LinkStatus::State state) {
    switch (state) {
        case LinkStatus::State::Open:
            return "open";
        case LinkStatus::State::Closed:
            return "closed";
        case LinkStatus::State::Connecting:
            return "connecting";
        case LinkStatus::State::Connected:
            return "connected";
        case LinkStatus::State::Failed:
            return "failed";
        case LinkStatus::State::Lost:
            return "lost";
    }
    return "";
}

// The line settings as a serial terminal writes them: data bits, parity letter, stop bits.
std::string Framing(const SerialLine& line) {
    static constexpr char kParity[] = {'N', 'O', 'E', 'M', 'S'};
    static constexpr const char* kStopBits[] = {"1", "1.5", "2"};
    std::string text = std::to_string(line.dataBits);
    text.push_back(line.parity < sizeof kParity ? kParity[line.parity] : '?');
    text += line.stopBits < 3 ? kStopBits[line.stopBits] : "?";
    return text;
}

}  // namespace

std::string LinkStatusText(const LinkStatus& status) {
    constexpr const char* kSep = " \xC2\xB7 ";  // a middle dot between the parts
    std::string text;
    if (status.network) {
        text = "NET " + status.address;
    } else if (status.comPort == 0) {
        text = "COM";
    } else {
        text = "COM" + std::to_string(status.comPort) + " " + std::to_string(status.line.rate) +
               " " + Framing(status.line);
    }
    text += kSep;
    text += StateName(status.state);
    text += kSep + std::to_string(status.received) + " B received";
    text += kSep + std::to_string(status.sent) + " B sent";
    switch (status.lock) {
        case CConsoleHistory::Lock::Locked:
            text += std::string(kSep) + "locked";
            break;
        case CConsoleHistory::Lock::Unlocked:
            text += std::string(kSep) + "unlocked";
            break;
        case CConsoleHistory::Lock::Unknown:
            break;
    }
    return text;
}
