#include "access/LabelsFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "access/SettingsFiles.h"
#include "platform/PlainText.h"
#include "platform/SystemDir.h"
#include "platform/Utf8.h"

namespace {

// A labels file of a few hundred names is a few KB; anything this large is not one.
constexpr std::size_t kLabelsFileMax = 1 << 20;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
// A new file is no secret: like the last login choice, its mode is left to the umask.
constexpr unsigned kNewLabelsMode = 0666;

enum class NameState { kName, kEmpty, kInvalid };

// The name as the file keeps it. A line break inside (a lone CR in a file, any in a name handed
// to the writer) becomes a blank, so that what is written reads back as one line, the same name.
NameState Normalize(std::string_view raw, std::string& name) {
    name.clear();
    for (std::size_t at = 0; at < raw.size();) {
        const std::size_t length = Utf8CharLength(raw.substr(at));
        if (length == 0) {
            return NameState::kInvalid;
        }
        at += length;
    }
    const std::string_view text = Trim(raw);
    int chars = 0;
    for (std::size_t at = 0; at < text.size() && chars < kLabelLengthMax; ++chars) {
        const std::size_t length = Utf8CharLength(text.substr(at));
        const char c = text[at];
        name.append(c == '\r' || c == '\n' ? std::string_view(" ") : text.substr(at, length));
        at += length;
    }
    name.resize(Trim(name).size());  // a cut may leave blanks at the end
    return name.empty() ? NameState::kEmpty : NameState::kName;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

// 1..kLabelNumberMax, or 0 for any other key.
int NumberOf(std::string_view key) {
    return ReadDecimal(key, 1, kLabelNumberMax).value_or(0);
}

// A piece of the file quoted in a warning, made safe for a terminal (a file could carry escape
// sequences) and not too long.
std::string Piece(std::string_view text) {
    constexpr std::size_t kShown = 24;
    return Quoted(text, kShown, '"');
}

enum class Section { kNone, kInputs, kOutputs, kOther };
enum class LineKind { kBlankOrComment, kHeader, kEntry, kMalformed };

// One line of the file as the reader sees it. `raw` is kept byte for byte, so that the writer
// can put back every line it has no reason to change.
struct FileLine {
    std::string_view raw;  // without the "\n" (a CRLF line keeps its "\r")
    LineKind kind = LineKind::kBlankOrComment;
    Section section = Section::kNone;  // the section a line is in; a header's own section
    std::size_t valueAt = 0;           // kEntry: where the name starts in `raw`
    int number = 0;                    // kEntry in [inputs]/[outputs]: the key, 0 when bad
    NameState state = NameState::kInvalid;
    std::string name;
};

struct ParsedFile {
    std::vector<FileLine> lines;
    std::string_view byteOrderMark;
    std::string_view lineEnd = "\n";  // the file's own: new lines are written the same way
    LabelsFileRead read;
};

ParsedFile Parse(std::string_view text, const std::string& path) {
    ParsedFile file;
    std::vector<std::string>& warnings = file.read.warnings;
    const auto warn = [&](std::size_t line, const std::string& what) {
        warnings.push_back(path + ":" + std::to_string(line) + ": " + what);
    };
    if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
        file.byteOrderMark = text.substr(0, kByteOrderMark.size());
        text.remove_prefix(kByteOrderMark.size());
    }
    Section section = Section::kNone;
    std::string sectionName;
    std::map<int, std::size_t> seen[2];  // number -> line of its last entry, per section
    while (!text.empty()) {
        const std::size_t newline = text.find('\n');
        FileLine line;
        line.raw = text.substr(0, newline);
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
        if (file.lines.empty() && !line.raw.empty() && line.raw.back() == '\r') {
            file.lineEnd = "\r\n";
        }
        const std::size_t number = file.lines.size() + 1;
        const std::string_view content = Trim(line.raw);
        if (content.empty() || content.front() == ';' || content.front() == '#') {
            line.section = section;
            file.lines.push_back(std::move(line));
            continue;
        }
        if (content.front() == '[') {
            // A header that lost its "]" still names its section: dropping the names under it
            // (or moving them to the section before) would be worse than a warning.
            const std::size_t close = content.find(']');
            const std::string_view name = Trim(content.substr(1, close - 1));
            if (close == std::string_view::npos) {
                warn(number, "section header without \"]\"");
            } else if (!Trim(content.substr(close + 1)).empty()) {
                warn(number, "text after the section header's \"]\"");
            }
            section = EqualsIgnoringCase(name, "inputs")    ? Section::kInputs
                      : EqualsIgnoringCase(name, "outputs") ? Section::kOutputs
                                                            : Section::kOther;
            sectionName = Piece(name);
            if (section == Section::kOther) {
                warn(number,
                     "unknown section " + sectionName + ": names go in [inputs] and [outputs]");
            }
            line.kind = LineKind::kHeader;
            line.section = section;
            file.lines.push_back(std::move(line));
            continue;
        }
        line.section = section;
        const std::size_t equals = line.raw.find('=');
        const std::string_view key = equals == std::string_view::npos
                                         ? std::string_view()
                                         : Trim(line.raw.substr(0, equals));
        if (key.empty()) {
            line.kind = LineKind::kMalformed;
            warn(number, "not a \"number=name\" line");
            file.lines.push_back(std::move(line));
            continue;
        }
        line.kind = LineKind::kEntry;
        line.valueAt = line.raw.find_first_not_of(" \t", equals + 1);
        if (line.valueAt == std::string_view::npos) {
            line.valueAt = line.raw.size();
        }
        if (section == Section::kNone) {
            warn(number, "outside the [inputs] and [outputs] sections");
        } else if (section == Section::kOther) {
            warn(number, "under the unknown section " + sectionName);
        } else if ((line.number = NumberOf(key)) == 0) {
            warn(number,
                 Piece(key) + " is not a number from 1 to " + std::to_string(kLabelNumberMax));
        } else if ((line.state = Normalize(line.raw.substr(line.valueAt), line.name)) ==
                   NameState::kInvalid) {
            warn(number, "the name is not valid UTF-8");
        } else {
            const bool inputs = section == Section::kInputs;
            auto& names = inputs ? file.read.names.inputs : file.read.names.outputs;
            std::size_t& earlier = seen[inputs ? 0 : 1][line.number];
            if (earlier != 0) {
                // The later line wins, as it does in the INI files the operator knows.
                warn(number, std::string(inputs ? "input " : "output ") +
                                 std::to_string(line.number) + " again: this line replaces line " +
                                 std::to_string(earlier));
            }
            earlier = number;
            if (line.state == NameState::kName) {
                names[line.number] = line.name;
            } else {
                names.erase(line.number);  // "5=" names nothing, here too
            }
        }
        file.lines.push_back(std::move(line));
    }
    return file;
}

enum class Opened { kText, kMissing, kRefused };

// The whole file at `path`, opened once and never waited for. `followLinks` false refuses a
// symbolic link in the last place of the path (ELOOP), the one the writer will replace.
Opened ReadWhole(const std::string& path, bool followLinks, std::string& text, std::string& why) {
    // A device or FIFO seen at once is not even opened (opening a serial line can act on it).
    // What is opened is checked again with fstat: the path may change between the two looks,
    // and the non-blocking open never waits for a FIFO's writer.
    struct stat info {};
    const int seen = followLinks ? ::stat(path.c_str(), &info) : ::lstat(path.c_str(), &info);
    if (seen == 0 && S_ISLNK(info.st_mode)) {
        return Opened::kMissing;  // a link the writer replaces: the new file starts empty
    }
    if (seen == 0 && !S_ISREG(info.st_mode)) {
        why = "not a labels file (not a regular file of at most 1 MiB)";
        return Opened::kRefused;
    }
    int fd = -1;
    do {
        fd = ::open(path.c_str(),
                    O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW));
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int error = errno;
        why = std::strerror(error);
        return error == ENOENT || (!followLinks && error == ELOOP) ? Opened::kMissing
                                                                   : Opened::kRefused;
    }
    bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
              static_cast<std::size_t>(info.st_size) <= kLabelsFileMax;
    why = "not a labels file (not a regular file of at most 1 MiB)";
    if (ok) {
        // Room for one byte more than fstat saw: a file that grew since is read on, up to one
        // byte past the limit, which tells a file too large.
        text.resize(static_cast<std::size_t>(info.st_size) + 1);
        std::size_t got = 0;
        for (;;) {
            if (got == text.size()) {
                if (text.size() > kLabelsFileMax) {
                    break;
                }
                text.resize(std::min(text.size() * 2, kLabelsFileMax + 1));
            }
            const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                why = std::strerror(errno);
                ok = false;
            }
            if (n <= 0) {
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        ok = ok && got <= kLabelsFileMax;
        text.resize(ok ? got : 0);
    }
    ::close(fd);
    return ok ? Opened::kText : Opened::kRefused;
}

}  // namespace

std::string DefaultLabelsFilePath() {
    return SystemDir() + "/" + kLabelsFileName;
}

LabelsFileRead ParseLabelsText(std::string_view text, const std::string& path) {
    return std::move(Parse(text, path).read);
}

LabelsFileRead ReadLabelsFile(const std::string& path, bool missingIsWarning) {
    std::string text;
    std::string why;
    const Opened opened = ReadWhole(path, true, text, why);
    if (opened == Opened::kText) {
        LabelsFileRead read = ParseLabelsText(text, path);
        read.bytes = text.size();
        return read;
    }
    LabelsFileRead read;
    if (opened == Opened::kRefused || missingIsWarning) {
        read.warnings.push_back(path + ": " + why);
    }
    return read;
}

std::string NormalizeLabel(std::string_view name) {
    std::string normal;
    Normalize(name, normal);
    return normal;
}

std::string ClientLabel(std::string_view name) {
    std::string printable(name);
    for (std::size_t at = 0; at < printable.size(); ++at) {
        const auto byte = static_cast<unsigned char>(printable[at]);
        if (byte < 0x20 || byte == 0x7f) {
            printable[at] = ' ';
        } else if (byte == 0xc2 && at + 1 < printable.size() &&
                   static_cast<unsigned char>(printable[at + 1]) < 0xa0 &&
                   static_cast<unsigned char>(printable[at + 1]) >= 0x80) {
            printable.replace(at, 2, " ");  // U+0080..U+009F
        }
    }
    return NormalizeLabel(printable);
}

bool WriteLabelsFile(const std::string& path, const LabelNames& names) {
    // What the file must hold afterwards, as the reader will see it.
    std::map<int, std::string> wanted[2];
    const std::map<int, std::string>* given[2] = {&names.inputs, &names.outputs};
    for (int s = 0; s < 2; ++s) {
        for (const auto& [number, name] : *given[s]) {
            std::string normal;
            const NameState state = Normalize(name, normal);
            if (number < 1 || number > kLabelNumberMax || state == NameState::kInvalid) {
                return false;
            }
            if (state == NameState::kName) {
                wanted[s].emplace(number, std::move(normal));
            }
        }
    }

    // The file that will be replaced. A link the writer will not follow is replaced by a new
    // file, so nothing is read through it either.
    std::string target;
    if (!SettingsWriteTarget(path, target)) {
        return false;
    }
    std::string old;
    std::string why;
    const Opened opened = ReadWhole(target, false, old, why);
    if (opened == Opened::kRefused) {
        return false;  // never trade the operator's lines for ours on a read error
    }
    const ParsedFile file = Parse(old, target);

    // Per section: the line that decides each number (the last one), and the line after which
    // new names go (the last line of the section's last stretch that is not blank or comment).
    std::map<int, std::size_t> deciding[2];
    std::size_t insertAfter[2] = {std::string::npos, std::string::npos};
    for (std::size_t i = 0; i < file.lines.size(); ++i) {
        const FileLine& line = file.lines[i];
        const int s = line.section == Section::kInputs ? 0 : 1;
        if (line.section != Section::kInputs && line.section != Section::kOutputs) {
            continue;
        }
        if (line.kind != LineKind::kBlankOrComment) {
            insertAfter[s] = i;
        }
        if (line.number > 0 && line.state != NameState::kInvalid) {
            deciding[s][line.number] = i;
        }
    }

    const std::string cr = file.lineEnd == "\r\n" ? "\r" : "";
    std::string text(file.byteOrderMark);
    bool atLineStart = true;
    const auto putLine = [&](std::string_view line, bool withEnd) {
        if (!atLineStart) {
            text.append(file.lineEnd);  // the old last line had no end; more follows it now
        }
        text.append(line);
        if (withEnd) {
            text.append("\n");  // a CRLF line brings its own "\r"
        }
        atLineStart = withEnd;
    };
    const auto addNew = [&](int s) {
        for (const auto& [number, name] : wanted[s]) {
            if (deciding[s].count(number) == 0) {
                putLine(std::to_string(number) + "=" + name + cr, true);
            }
        }
    };
    const bool endsWithNewline = !old.empty() && old.back() == '\n';
    for (std::size_t i = 0; i < file.lines.size(); ++i) {
        const FileLine& line = file.lines[i];
        const int s = line.section == Section::kInputs ? 0 : 1;
        // The last line keeps the end it had, or the lack of one.
        const bool withEnd = i + 1 < file.lines.size() || endsWithNewline;
        if (line.number > 0 && line.state != NameState::kInvalid) {
            const auto want = wanted[s].find(line.number);
            if (want == wanted[s].end()) {
                if (line.state == NameState::kEmpty) {
                    putLine(line.raw, withEnd);  // names nothing either way
                }
            } else if (deciding[s][line.number] == i && line.name != want->second) {
                const bool crlf = !line.raw.empty() && line.raw.back() == '\r';
                putLine(std::string(line.raw.substr(0, line.valueAt)) + want->second +
                            (crlf ? "\r" : ""),
                        withEnd);
            } else {
                putLine(line.raw, withEnd);
            }
        } else {
            putLine(line.raw, withEnd);
        }
        for (int t = 0; t < 2; ++t) {
            if (insertAfter[t] == i) {
                addNew(t);
            }
        }
    }
    for (int s = 0; s < 2; ++s) {
        if (insertAfter[s] == std::string::npos && !wanted[s].empty()) {
            putLine(std::string(s == 0 ? "[inputs]" : "[outputs]") + cr, true);
            addNew(s);
        }
    }
    return ReplaceSettingsFile(path, text, kNewLabelsMode);
}
