#include "access/SettingsFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <utility>

#include "platform/LeadingInt.h"
#include "platform/SystemDir.h"

namespace {

std::string FilePath(const char* name) {
    return SystemDir() + "/" + name;
}

int OpenForReading(const std::string& path) {
    int fd = -1;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

enum class ReadResult { kMissing, kFailed, kRead };

// At most kSettingsReadLimit bytes from the start of the file, cut at the first zero byte the
// way a C string would end there.
ReadResult ReadHead(const std::string& path, std::string& text) {
    const int fd = OpenForReading(path);
    if (fd < 0) {
        return ReadResult::kMissing;
    }
    char buffer[kSettingsReadLimit];
    std::size_t got = 0;
    bool ok = true;
    while (got < sizeof buffer) {
        const ssize_t n = ::read(fd, buffer + got, sizeof buffer - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (!ok) {
        return ReadResult::kFailed;
    }
    std::string_view head(buffer, got);
    const std::size_t zero = head.find('\0');
    if (zero != std::string_view::npos) {
        head = head.substr(0, zero);
    }
    text.assign(head);
    return ReadResult::kRead;
}

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Opens a new file next to `path` that nobody else has. Created with 0666 so the umask
// decides, as it would for the file itself.
int CreateTemporary(const std::string& path, std::string& tempPath) {
    static std::atomic<unsigned> s_nCounter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        tempPath = path + ".tmp." + std::to_string(::getpid()) + "." +
                   std::to_string(s_nCounter.fetch_add(1));
        const int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            return fd;
        }
        if (errno != EEXIST && errno != EINTR) {
            return -1;
        }
    }
    return -1;
}

void SyncDirectoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        // The rename has happened either way; this only hurries it to the disk.
        ::fsync(fd);
        ::close(fd);
    }
}

// Writes the whole content to a temporary file, puts it on the disk and renames it over
// `path`. Any failure removes the temporary file and leaves `path` as it was.
bool ReplaceFile(const std::string& path, std::string_view bytes) {
    std::string tempPath;
    const int fd = CreateTemporary(path, tempPath);
    if (fd < 0) {
        return false;
    }
    bool ok = WriteAll(fd, bytes);
    if (ok) {
        // Someone who set the old file's permissions keeps them.
        struct stat old {};
        if (::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
            ::fchmod(fd, old.st_mode & 07777);
        }
        ok = ::fsync(fd) == 0;
    }
    if (::close(fd) != 0) {
        ok = false;
    }
    if (ok) {
        ok = ::rename(tempPath.c_str(), path.c_str()) == 0;
    }
    if (!ok) {
        ::unlink(tempPath.c_str());
        return false;
    }
    SyncDirectoryOf(path);
    return true;
}

}  // namespace

std::string PasswordFilePath() {
    return FilePath(kPasswordFileName);
}

std::string LastLoginFilePath() {
    return FilePath(kLastLoginFileName);
}

bool HasPasswordFile() {
    const int fd = OpenForReading(PasswordFilePath());
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

bool ReadPassword(std::string& strPassword) {
    std::string text;
    if (ReadHead(PasswordFilePath(), text) != ReadResult::kRead) {
        return false;
    }
    strPassword = std::move(text);
    return true;
}

bool CheckPassword(std::string_view strTyped) {
    std::string stored;
    return ReadPassword(stored) && stored == strTyped;
}

bool SavePassword(std::string_view strPassword) {
    return ReplaceFile(PasswordFilePath(), strPassword);
}

bool ReadLastLogin(int& nType, int& nInputs, int& nOutputs) {
    std::string text;
    const ReadResult read = ReadHead(LastLoginFilePath(), text);
    if (read == ReadResult::kMissing) {
        nType = 0;
        nInputs = 8;
        nOutputs = 8;
        return true;
    }
    if (read == ReadResult::kFailed) {
        return false;
    }
    const std::size_t first = text.find(',');
    const std::size_t second = first == std::string::npos ? first : text.find(',', first + 1);
    if (second == std::string::npos) {
        return false;
    }
    const std::string_view view(text);
    nType = LeadingInt(view.substr(0, first));
    nInputs = LeadingInt(view.substr(first + 1, second - first - 1));
    nOutputs = LeadingInt(view.substr(second + 1));
    return true;
}

bool WriteLastLogin(int nType, int nInputs, int nOutputs) {
    char text[3 * 12 + 3];
    const int length = std::snprintf(text, sizeof text, "%d,%d,%d", nType, nInputs, nOutputs);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof text) {
        return false;
    }
    return ReplaceFile(LastLoginFilePath(),
                       std::string_view(text, static_cast<std::size_t>(length)));
}
