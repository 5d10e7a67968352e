#include "hub/CSalvosFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <QFile>

#include "hub/core/CFileWriter.h"
#include "platform/PlainText.h"

namespace {

enum class WholeFile { Missing, Unreadable, Unfit, Read };

// The whole file at `path` when it is a regular file of at most `limit` bytes (Unfit, and why,
// when it is not). Nothing that is not a regular file is opened: a FIFO would never answer.
WholeFile ReadWholeFile(const std::string& path, qint64 limit, QByteArray& bytes,
                        std::string& why) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        const int error = errno;
        why = std::strerror(error);
        return error == ENOENT ? WholeFile::Missing : WholeFile::Unreadable;
    }
    const std::string unfit =
        "not a regular file of at most " + std::to_string(limit / 1000000) + " MB";
    if (!S_ISREG(st.st_mode) || st.st_size > limit) {
        why = unfit;
        return WholeFile::Unfit;
    }
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) {
        why = file.errorString().toStdString();
        return WholeFile::Unreadable;
    }
    bytes = file.read(limit + 1);  // a file grown since is seen as too large
    if (file.error() != QFileDevice::NoError) {
        why = file.errorString().toStdString();
        return WholeFile::Unreadable;
    }
    why = unfit;
    return bytes.size() > limit ? WholeFile::Unfit : WholeFile::Read;
}

// Gives the file at `path` (the end of its links) a second name, the first free one of
// PATH+SUFFIX, PATH+SUFFIX.2 ... PATH+SUFFIX.9: an earlier one is never replaced. Empty, with
// why, when none could be given.
std::string LinkToFreeName(const std::string& path, const std::string& suffix, std::string& why) {
    for (int n = 1; n <= 9; ++n) {
        const std::string name = path + suffix + (n == 1 ? "" : "." + std::to_string(n));
        if (::linkat(AT_FDCWD, path.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            return name;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    why = std::strerror(errno);
    return {};
}

}  // namespace

CSalvosFile::CSalvosFile(std::string path, LogLine log, std::function<void()> writeFailed)
    : m_strPath(std::move(path)),
      m_log(std::move(log)),
      m_pWriter(std::make_unique<CFileWriter>(m_strPath, 0644, std::move(writeFailed))) {}

CSalvosFile::~CSalvosFile() = default;

void CSalvosFile::Load(CHub& hub) {
    QByteArray bytes;
    std::string why;
    switch (ReadWholeFile(m_strPath, ApiJson::kMaxSalvosFileBytes, bytes, why)) {
        case WholeFile::Missing:
            return;
        case WholeFile::Unreadable:
            LeaveAlone(m_strPath + " cannot be read (" + why + ")");
            return;
        case WholeFile::Unfit:
            SetAside(why);
            return;
        case WholeFile::Read:
            break;
    }
    QString error;
    if (auto read = ApiJson::ReadSalvosFile(bytes, &error)) {
        Serve(hub, std::move(*read));
    } else {
        SetAside(error.toStdString());
    }
}

void CSalvosFile::Serve(CHub& hub, ApiJson::SalvosFileRead read) {
    const std::size_t inFile = read.salvos.size() + read.unreadable.size();
    const auto leftOut = hub.LoadSalvos(std::move(read.salvos));
    const std::size_t notServed = leftOut.size() + read.unreadable.size();
    if (notServed == 0) {
        return;
    }
    // One to name: an entry that is no salvo at all, else the first the hub left out.
    const auto [name, why] =
        read.unreadable.empty()
            ? std::pair(leftOut.front().first, CHub::SalvoRefusal(leftOut.front().second))
            : std::pair(read.unreadable.front().first.toStdString(),
                        read.unreadable.front().second.toStdString());
    m_mode = Mode::KeepFirst;
    m_log("salvos: " + std::to_string(notServed) + " of the " + std::to_string(inFile) +
          " salvos in " + m_strPath + " are not served (" + (notServed > 1 ? "the first, " : "") +
          Quoted(name, 64, '"') + ": " + why +
          "); the file as found is kept beside it before salvos are next written");
}

void CSalvosFile::SetAside(const std::string& why) {
    std::string failure;
    const std::string aside = LinkToFreeName(m_strPath, ".unreadable", failure);
    if (!aside.empty() && ::unlink(m_strPath.c_str()) == 0) {
        m_log("salvos: " + m_strPath + " is not a salvos file (" + why + "); set aside as " +
              aside + ", starting with none");
        return;
    }
    if (!aside.empty()) {
        failure = std::strerror(errno);
        ::unlink(aside.c_str());
    }
    LeaveAlone(m_strPath + " is not a salvos file (" + why + ") and could not be set aside (" +
               failure + ")");
}

void CSalvosFile::LeaveAlone(const std::string& what) {
    m_mode = Mode::LeaveAlone;
    m_log("salvos: " + what +
          ": it is left as it is, and salvos are served but not written while it is there");
}

bool CSalvosFile::MayWrite() {
    if (m_mode == Mode::Write) {
        return true;
    }
    // Moved away by the operator: nothing is left to keep.
    struct stat st {};
    if (::lstat(m_strPath.c_str(), &st) != 0 && errno == ENOENT) {
        m_mode = Mode::Write;
        return true;
    }
    if (m_mode == Mode::LeaveAlone) {
        return false;
    }
    std::string failure;
    const std::string kept = LinkToFreeName(m_strPath, ".original", failure);
    if (kept.empty()) {
        LeaveAlone(m_strPath +
                   " holds salvos that are not served and could not be kept as found (" + failure +
                   ")");
        return false;
    }
    m_log("salvos: " + m_strPath + " as found is kept as " + kept);
    m_mode = Mode::Write;
    return true;
}

void CSalvosFile::Changed(const SalvoBook& salvos) {
    if (MayWrite()) {
        m_pWriter->Write(ApiJson::SalvosFile(salvos).toStdString());
    }
}
