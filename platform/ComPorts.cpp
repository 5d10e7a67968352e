#include "platform/ComPorts.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/SystemDir.h"

namespace {

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;  // follows the link: a dangling link is no port
}

// The number after the prefix when the rest of the name is all digits, else -1.
long DeviceNumber(std::string_view name, std::string_view prefix) {
    if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) {
        return -1;
    }
    long number = 0;
    for (char c : name.substr(prefix.size())) {
        if (!std::isdigit(static_cast<unsigned char>(c)) || number > 1'000'000) {
            return -1;
        }
        number = number * 10 + (c - '0');
    }
    return number;
}

std::vector<std::string> ListDevices(const std::string& devDir) {
    static constexpr std::array<std::string_view, 3> kPrefixes = {"ttyUSB", "ttyACM", "ttyS"};
    std::array<std::vector<std::pair<long, std::string>>, kPrefixes.size()> groups;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(devDir, ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        for (std::size_t g = 0; g < kPrefixes.size(); ++g) {
            const long number = DeviceNumber(name, kPrefixes[g]);
            if (number >= 0) {
                groups[g].emplace_back(number, it->path().string());
                break;
            }
        }
    }
    std::vector<std::string> devices;
    for (auto& group : groups) {
        std::sort(group.begin(), group.end());
        for (auto& entry : group) {
            devices.push_back(std::move(entry.second));
        }
    }
    return devices;
}

// "COM" in any case, then one digit or more and nothing else.
bool IsComNumberName(std::string_view name) {
    if (name.size() < 4) {
        return false;
    }
    for (std::size_t i = 0; i < 3; ++i) {
        if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) {
            return false;
        }
    }
    return std::all_of(name.begin() + 3, name.end(),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

}  // namespace

std::optional<int> ComPortNumber(std::string_view name) {
    if (!IsComNumberName(name) || name.size() != 4 || name[3] < '1' || name[3] > '5') {
        return std::nullopt;
    }
    return name[3] - '0';
}

bool IsBadComPortName(std::string_view name) {
    return IsComNumberName(name) && !ComPortNumber(name);
}

std::string BadComPortNameHint(std::string_view name) {
    return "(expected COM1..COM5, ports 1..5, or a device path such as ./" + std::string(name) +
           ")";
}

std::string ComDevicePath(int port, const std::string& sysDir, bool sysDirOnly,
                          const std::string& devDir) {
    if (port < 1 || port > 5) {
        port = 1;
    }
    const std::string link = sysDir + "/COM" + std::to_string(port);
    if (Exists(link)) {
        return link;
    }
    if (sysDirOnly) {
        return {};
    }
    const std::vector<std::string> devices = ListDevices(devDir);
    const auto index = static_cast<std::size_t>(port - 1);
    return index < devices.size() ? devices[index] : std::string();
}

std::string ComDevicePath(int port) {
    return ComDevicePath(port, SystemDir(), SystemDirFromEnvironment(), "/dev");
}
