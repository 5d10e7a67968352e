#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// The operator's names for inputs and outputs ("Camera 2", "Projector"), kept in
// "matrixpanel-labels.ini" in the settings directory. The panel shows them as tool tips,
// matrixctl takes them in place of numbers, matrixd serves them as the router's labels and
// writes the ones its clients change. No Qt: all three read and write the file through here.
//
// The file is plain text, readable and writable by hand:
//
//     [inputs]
//     1=Laptop HDMI
//     [outputs]
//     3=Projector; hall
//
// Section names are matched case-insensitively. A name is everything after the first "=" up to
// the line end, blanks at either end trimmed: ";", ",", "\"", "\\" and "@" are part of it. Lines
// starting with ";" or "#" are comments. Names are UTF-8, at most kLabelLengthMax characters
// (code points; a longer one is cut there, never inside a character). "5=" names nothing. Of
// two lines for one number the later one counts. A UTF-8 byte order mark at the start and CRLF
// line ends are read as if they were not there (and kept by the writer).
//
// A line that cannot be used is skipped with a warning, the rest of the file still counts: a
// line that is no "number=name", a number outside 1..kLabelNumberMax, a name that is not UTF-8,
// a line outside [inputs] and [outputs] or under another section, a second line for a number.
// A header that lacks its "]" is warned about and still opens its section.

inline constexpr const char* kLabelsFileName = "matrixpanel-labels.ini";
inline constexpr int kLabelNumberMax = 1024;
inline constexpr int kLabelLengthMax = 40;  // characters, not bytes

struct LabelNames {
    std::map<int, std::string> inputs;  // number (1..kLabelNumberMax) -> UTF-8 name
    std::map<int, std::string> outputs;

    bool Empty() const { return inputs.empty() && outputs.empty(); }
};

struct LabelsFileRead {
    LabelNames names;
    std::size_t bytes = 0;  // what the file held; 0 also when it could not be read
    // One line each, "PATH:LINE: what" or "PATH: what"; callers put their program's name first.
    std::vector<std::string> warnings;
};

// "<settings directory>/matrixpanel-labels.ini".
std::string DefaultLabelsFilePath();

// Reads the file at `path`, used as given (any bytes). The file is opened once, never waits
// (a FIFO or device in its place is refused), and only a regular file of at most 1 MiB is
// read. Every usable entry is kept; every line that cannot be used is a warning with its line
// number. A missing file is a warning only when `missingIsWarning`.
LabelsFileRead ReadLabelsFile(const std::string& path, bool missingIsWarning);

// The same rules over text already in memory (`path` only names it in warnings).
LabelsFileRead ParseLabelsText(std::string_view text, const std::string& path);

// A name as the file keeps it: blanks trimmed, line breaks inside turned into blanks, cut at
// kLabelLengthMax characters. Invalid UTF-8 gives an empty result (not a name).
std::string NormalizeLabel(std::string_view name);

// A name from a client (a control surface, a web page): as NormalizeLabel, and only printable
// text is kept: control characters (C0, DEL and C1) become blanks, so that no name carries a
// terminal escape or a zero byte into the file, the log or another client's screen.
std::string ClientLabel(std::string_view name);

// Writes `names` to the file at `path` through the settings writer (old or new content, never
// torn; mode and group kept; only a regular file is replaced; links as ReplaceSettingsFile
// follows them). Lines of an existing file that hold no changed entry (comments, other
// sections, lines by hand) stay as they were; a changed entry's line is rewritten in place, a
// new one is added to the end of its section (the section is created when missing), and an
// entry absent from `names` is removed. Each name is written as NormalizeLabel gives it, so it
// reads back exactly so; a name that normalizes to nothing counts as absent. False, with the
// file untouched, when anything fails, for a number outside 1..kLabelNumberMax, a name that is
// not UTF-8, or an existing file that cannot be read.
bool WriteLabelsFile(const std::string& path, const LabelNames& names);
