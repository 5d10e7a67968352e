// The labels file on any bytes: what the reader makes of them must survive the writer. Writing
// the names just read gives a file that reads as the same names; writing a changed set (one
// name dropped, one changed, one added) reads back as exactly that set, whatever else the file
// holds. The file lives in a directory of this run's own (on /dev/shm where there is one).
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "access/LabelsFile.h"
#include "fuzz/FuzzInput.h"

namespace {

std::string g_path;

void PutFile(std::string_view bytes) {
    const int fd = ::open(g_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

bool SameNames(const LabelNames& a, const LabelNames& b) {
    return a.inputs == b.inputs && a.outputs == b.outputs;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const std::string dir = MakeFuzzDirectory();
    g_path = dir + "/" + kLabelsFileName;
    // The directory goes when the run ends normally; after a crash it stays beside the input.
    std::atexit([] {
        ::unlink(g_path.c_str());
        ::rmdir(g_path.substr(0, g_path.rfind('/')).c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const std::uint8_t how = in.Byte();
    const std::string_view change = in.Bytes(how % 48);
    const std::string_view text = in.Rest();

    const LabelsFileRead parsed = ParseLabelsText(text, "fuzz");
    for (const auto* names : {&parsed.names.inputs, &parsed.names.outputs}) {
        for (const auto& [number, name] : *names) {
            FUZZ_CHECK(number >= 1 && number <= kLabelNumberMax);
            FUZZ_CHECK(!name.empty() && NormalizeLabel(name) == name);
        }
    }

    PutFile(text);
    FUZZ_CHECK(SameNames(ReadLabelsFile(g_path, true).names, parsed.names));
    FUZZ_CHECK(WriteLabelsFile(g_path, parsed.names));
    FUZZ_CHECK(SameNames(ReadLabelsFile(g_path, true).names, parsed.names));

    // A changed set on the same file: the input's bytes as a new name (normalized the way the
    // writer keeps it), the first name of the other kind dropped.
    LabelNames wanted = parsed.names;
    auto& side = how & 1 ? wanted.outputs : wanted.inputs;
    auto& other = how & 1 ? wanted.inputs : wanted.outputs;
    if (!other.empty()) {
        other.erase(other.begin());
    }
    const int number = 1 + how % 8;
    const bool written = WriteLabelsFile(g_path, [&] {
        LabelNames with = wanted;
        (how & 1 ? with.outputs : with.inputs)[number] = std::string(change);
        return with;
    }());
    const std::string normal = NormalizeLabel(change);
    const bool validUtf8 =
        !normal.empty() || change.find_first_not_of(" \t\r\n\v\f") == std::string_view::npos;
    FUZZ_CHECK(written == validUtf8);
    if (written) {
        if (normal.empty()) {
            side.erase(number);
        } else {
            side[number] = normal;
        }
        FUZZ_CHECK(SameNames(ReadLabelsFile(g_path, true).names, wanted));
    } else {
        FUZZ_CHECK(SameNames(ReadLabelsFile(g_path, true).names, parsed.names));  // untouched
    }
    return 0;
}
