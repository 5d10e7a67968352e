#pragma once

#include <string_view>

// What one reply line of the switcher says. The switching panel shows it on its keys; the
// command-line tool prints it. Both read a line by these rules, so they never disagree.
enum class ReplyKind {
    Other,       // anything else, also a known shape with numbers out of range
    Demo,        // "Demo Mode"
    Normal,      // "Normal Mode"
    AllThrough,  // "All Through.": input k on output k
    InputToAll,  // "<input> To All"
    OutputOff,   // a line with "->" and "OFF": the output after "->" is off
    Route,       // "<signal>:<input>-><output>"
};

struct ReplyLine {
    ReplyKind kind = ReplyKind::Other;
    // Route: the text before ":" as it stands. "AV", "A" and "V" are the signal kinds the panel
    // shows; any other text is still read as a route (the panel remembers its numbers) but
    // shows nothing. Points into the line that was read.
    std::string_view signal;
    int input = 0;   // InputToAll, Route: 1..inputs
    int output = 0;  // OutputOff, Route: 1..outputs
};

// Reads one line, without its line feed (a carriage return or blanks at either end do not
// matter). Numbers are checked against the switcher's input and output counts: a line naming
// an input or output outside them says nothing (Other).
ReplyLine ReadReplyLine(std::string_view line, int inputs, int outputs);

// Lines with which the switcher refuses a command. Kept apart from ReplyKind: a refusal says
// nothing about routes, so the panel's reading is untouched by it, while a script that ran the
// command must learn that it failed.
enum class ReplyRefusal {
    None,
    Error,   // "Command Error!": a command the switcher cannot read or carry out
    Locked,  // "System Locked!": the front panel lock is on (also the answer to the lock command)
};

// Whether the line is a refusal (blanks at either end do not matter, as for ReadReplyLine).
ReplyRefusal ClassifyRefusal(std::string_view line);
