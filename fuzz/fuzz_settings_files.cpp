// The settings files on any bytes a file may hold, read the way the login reads them, and
// write-then-read round trips of the values the program writes. The files live in a directory
// of this run's own (on /dev/shm where there is one, so the writers' fsync costs nothing).
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "access/SettingsFiles.h"
#include "fuzz/FuzzInput.h"
#include "platform/LeadingInt.h"

namespace {

void PutFile(const std::string& path, std::string_view bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

// What a reader is meant to see: the first 16 bytes, up to a zero byte.
std::string_view Head(std::string_view bytes) {
    bytes = bytes.substr(0, kSettingsReadLimit);
    return bytes.substr(0, bytes.find('\0'));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const std::string dir = MakeFuzzDirectory();
    ::setenv("MATRIXPANEL_SYSDIR", dir.c_str(), 1);
    // The directory goes when the run ends normally; after a crash it stays beside the input.
    std::atexit([] {
        ::unlink(LastLoginFilePath().c_str());
        ::unlink(PasswordFilePath().c_str());
        ::rmdir(std::getenv("MATRIXPANEL_SYSDIR"));
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const std::uint8_t how = in.Byte();
    const std::string_view bytes = in.Rest();

    // Any file content.
    PutFile(LastLoginFilePath(), bytes);
    PutFile(PasswordFilePath(), bytes);
    const std::string_view head = Head(bytes);
    const std::size_t first = head.find(',');
    const std::size_t second = first == std::string_view::npos ? first : head.find(',', first + 1);
    int type = -7, inputs = -7, outputs = -7;
    const bool read = ReadLastLogin(type, inputs, outputs);
    FUZZ_CHECK(read == (second != std::string_view::npos));
    if (read) {
        FUZZ_CHECK(type == LeadingInt(head.substr(0, first)));
        FUZZ_CHECK(inputs == LeadingInt(head.substr(first + 1, second - first - 1)));
        FUZZ_CHECK(outputs == LeadingInt(head.substr(second + 1)));
    } else {
        FUZZ_CHECK(type == -7 && inputs == -7 && outputs == -7);
    }
    std::string password = "unchanged";
    FUZZ_CHECK(ReadPassword(password) && password == head);
    FUZZ_CHECK(CheckPassword(head));
    FUZZ_CHECK(HasPasswordFile());

    // Round trips, now and then (each write syncs a file and its directory).
    if (how % 4 == 0) {
        const int wType = how / 4 % 3;
        const int wInputs = 1 + static_cast<int>(bytes.size() * 7 % 1024);
        const int wOutputs = 1 + static_cast<int>((bytes.size() * 13 + how) % 1024);
        FUZZ_CHECK(WriteLastLogin(wType, wInputs, wOutputs));
        FUZZ_CHECK(ReadLastLogin(type, inputs, outputs));
        FUZZ_CHECK(type == wType && inputs == wInputs && outputs == wOutputs);

        const std::string_view typed = Head(bytes);
        FUZZ_CHECK(SavePassword(typed));
        FUZZ_CHECK(ReadPassword(password) && password == typed);
        FUZZ_CHECK(CheckPassword(typed));
    }
    return 0;
}
