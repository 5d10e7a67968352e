#include "access/SettingsFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <string_view>
#include <utility>

#include "platform/LeadingInt.h"
#include "platform/SystemDir.h"

namespace {

// A new password file is never readable by everyone, whatever the umask. The last login choice
// is no secret, so its mode is left to the umask.
constexpr mode_t kNewPasswordMode = 0660;
constexpr mode_t kNewLastLoginMode = 0666;

std::string FilePath(const char* name) {
    return SystemDir() + "/" + name;
}

// Only a regular file is a settings file. Anything else is left unopened where possible: a
// device may act on being opened, and a FIFO would hold the login until some writer came.
// The open itself never waits (O_NONBLOCK), and fstat confirms what was opened, in case the
// path changed between the two looks. O_NONBLOCK means nothing for reading a regular file.
int OpenForReading(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return -1;
    }
    int fd = -1;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0 && (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
        ::close(fd);
        return -1;
    }
    return fd;
}

enum class ReadResult { kUnopened, kFailed, kRead };

// At most kSettingsReadLimit bytes from the start of the file, cut at the first zero byte the
// way a C string would end there.
ReadResult ReadHead(const std::string& path, std::string& text) {
    const int fd = OpenForReading(path);
    if (fd < 0) {
        return ReadResult::kUnopened;
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

// Names of temporary files beside `path`: "<path>.tmp.<pid>.<n>". The pid lets a later writer
// tell a dead writer's leftover from a live writer's file.
constexpr std::string_view kTempInfix = ".tmp.";

std::string NextTempPath(const std::string& path) {
    static std::atomic<unsigned> s_nCounter{0};
    return path + std::string(kTempInfix) + std::to_string(::getpid()) + "." +
           std::to_string(s_nCounter.fetch_add(1));
}

// Opens a new file next to `path` that nobody else has, created with `mode` before the umask.
int CreateTemporary(const std::string& path, mode_t mode, std::string& tempPath) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        tempPath = NextTempPath(path);
        const int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0) {
            return fd;
        }
        if (errno != EEXIST && errno != EINTR) {
            return -1;
        }
    }
    tempPath.clear();
    return -1;
}

// Gives the unnamed file `fd` a temporary name beside `path`, for the rename.
bool NameTemporary(int fd, const std::string& path, std::string& tempPath) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    for (int attempt = 0; attempt < 100; ++attempt) {
        tempPath = NextTempPath(path);
        if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, tempPath.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            return true;
        }
        if (errno != EEXIST && errno != EINTR) {
            break;
        }
    }
    tempPath.clear();
    return false;
}

// The directory part of `path` with its slash, or "" for a name in the working directory.
std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The file a write to `path` has to replace: the end of its chain of symbolic links, which
// need not exist yet. Renaming over the link itself would cut the operator's link and leave
// the file it points to stale. But a link is followed only when root or this user owns it, and
// only when every link on the way is: the settings directory is writable by a whole group, and
// a link planted there by one member must not aim another member's write at a file of the
// planter's choosing. Such a chain is not followed at all: `path` itself is replaced. False when
// the chain never ends (a loop) or cannot be read.
bool FinalTarget(const std::string& given, std::string& target) {
    constexpr int kMaxLinks = 40;  // the kernel's own limit for one lookup
    std::string path = given;
    for (int hop = 0; hop <= kMaxLinks; ++hop) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
            target = std::move(path);
            return true;
        }
        if (info.st_uid != 0 && info.st_uid != ::geteuid()) {
            target = given;
            return true;
        }
        char link[PATH_MAX];
        const ssize_t n = ::readlink(path.c_str(), link, sizeof link);
        if (n <= 0 || static_cast<std::size_t>(n) >= sizeof link) {
            return false;
        }
        const std::string_view text(link, static_cast<std::size_t>(n));
        path = text.front() == '/' ? std::string(text) : DirectoryOf(path) + std::string(text);
    }
    return false;
}

// Gives the new file the group and permissions the operator set on the old one. The group
// comes first because changing it may clear the set-group-ID bit, which fchmod then restores
// where it may. Handing the file to a group the process is not in is refused (EPERM); the
// file then keeps the process's group, which is no reason to give up the write.
bool KeepGroupAndMode(const std::string& target, int fd) {
    struct stat old {};
    if (::lstat(target.c_str(), &old) != 0 || !S_ISREG(old.st_mode)) {
        return true;  // nothing to keep (no file, or a link being replaced): the creation mode
    }
    if (::fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0 && errno != EPERM) {
        return false;
    }
    return ::fchmod(fd, old.st_mode & 07777) == 0;
}

void SyncDirectoryOf(const std::string& path) {
    const std::string dir = DirectoryOf(path);
    const int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        // The rename has happened either way; this only hurries it to the disk.
        ::fsync(fd);
        ::close(fd);
    }
}

// Removes the temporary files of writers that were killed before their rename (a password in
// clear text among them). A file whose writer still runs, or may run (a pid this process may
// not signal), is left alone.
void RemoveLeftovers(const std::string& target) {
    const std::string dir = DirectoryOf(target);
    const std::string prefix = target.substr(dir.size()) + std::string(kTempInfix);
    DIR* listing = ::opendir(dir.empty() ? "." : dir.c_str());
    if (listing == nullptr) {
        return;
    }
    while (const dirent* entry = ::readdir(listing)) {
        const std::string_view name(entry->d_name);
        if (name.substr(0, prefix.size()) != prefix) {
            continue;
        }
        const std::string_view rest = name.substr(prefix.size());
        const std::size_t dot = rest.find('.');
        const std::string_view pid = rest.substr(0, dot);
        if (dot == std::string_view::npos || pid.empty() || pid.size() > 9 ||
            pid.find_first_not_of("0123456789") != std::string_view::npos ||
            dot + 1 == rest.size() ||
            rest.find_first_not_of("0123456789", dot + 1) != std::string_view::npos) {
            continue;  // not a name this writer gives
        }
        const pid_t owner = static_cast<pid_t>(LeadingInt(pid));
        if (owner > 0 && ::kill(owner, 0) != 0 && errno == ESRCH) {
            ::unlinkat(::dirfd(listing), entry->d_name, 0);
        }
    }
    ::closedir(listing);
}

// Writes the whole content to a new file beside `target` and puts it on the disk; `tempPath`
// then names it. The file is first written with no name at all (O_TMPFILE), so a writer killed
// before its rename leaves nothing behind; only the last moment between naming and rename is
// left for RemoveLeftovers. `unnamed` false writes to a named file from the start, for file
// systems without unnamed files (or without /proc to name one by).
bool WriteTemporary(const std::string& target, std::string_view bytes, mode_t mode, bool unnamed,
                    std::string& tempPath) {
    tempPath.clear();
    int fd = -1;
    if (unnamed) {
        const std::string dir = DirectoryOf(target);
        fd = ::open(dir.empty() ? "." : dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    } else {
        fd = CreateTemporary(target, mode, tempPath);
    }
    if (fd < 0) {
        return false;
    }
    bool ok = KeepGroupAndMode(target, fd) && WriteAll(fd, bytes) && ::fsync(fd) == 0 &&
              (!unnamed || NameTemporary(fd, target, tempPath));
    if (::close(fd) != 0) {
        ok = false;
    }
    if (!ok && !tempPath.empty()) {
        ::unlink(tempPath.c_str());
        tempPath.clear();
    }
    return ok;
}

}  // namespace

bool SettingsWriteTarget(const std::string& path, std::string& target) {
    return FinalTarget(path, target);
}

void RemoveDeadWritersFiles(const std::string& path) {
    std::string target;
    if (SettingsWriteTarget(path, target)) {
        RemoveLeftovers(target);
    }
}

// Writes the whole content to a temporary file beside the file `path` finally names, puts it
// on the disk and renames it over that file. A new file is created with `newMode` before the
// umask; an existing one passes on its group and mode, set before any byte is written so the
// content is never more open than the operator allowed. Any failure removes the temporary
// file and leaves the old file as it was.
bool ReplaceSettingsFile(const std::string& path, std::string_view bytes, unsigned newMode) {
    std::string target;
    if (!SettingsWriteTarget(path, target)) {
        return false;
    }
    // Only a settings file is ever replaced: a link that leads to a device, a FIFO or a
    // directory (/dev/zero, say) must not have it swapped for a regular file. A link still at
    // the target is one not to be followed; it is replaced itself.
    struct stat existing {};
    if (::lstat(target.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode) &&
        !S_ISLNK(existing.st_mode)) {
        return false;
    }
    RemoveLeftovers(target);
    const auto mode = static_cast<mode_t>(newMode);
    std::string tempPath;
    if (!WriteTemporary(target, bytes, mode, true, tempPath) &&
        !WriteTemporary(target, bytes, mode, false, tempPath)) {
        return false;
    }
    if (::rename(tempPath.c_str(), target.c_str()) != 0) {
        ::unlink(tempPath.c_str());
        return false;
    }
    SyncDirectoryOf(target);
    return true;
}

std::string PasswordFilePath() {
    return FilePath(kPasswordFileName);
}

std::string LastLoginFilePath() {
    return FilePath(kLastLoginFileName);
}

bool HasPasswordFile() {
    struct stat info {};
    if (::lstat(PasswordFilePath().c_str(), &info) == 0) {
        return true;
    }
    // Only a path that surely names nothing means "no password". Whatever else hides the
    // answer (a directory without search permission, an I/O error) might hide a password,
    // and letting everyone in on a guess is the one mistake that must not happen.
    return errno != ENOENT && errno != ENOTDIR;
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
    return ReplaceSettingsFile(PasswordFilePath(), strPassword, kNewPasswordMode);
}

bool ReadLastLogin(int& nType, int& nInputs, int& nOutputs) {
    std::string text;
    const ReadResult read = ReadHead(LastLoginFilePath(), text);
    if (read == ReadResult::kUnopened) {
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
    return ReplaceSettingsFile(LastLoginFilePath(),
                               std::string_view(text, static_cast<std::size_t>(length)),
                               kNewLastLoginMode);
}
