#pragma once

// An input or an output number of the switcher. Two types, so that a call that takes both
// cannot have them swapped: routes are written "input to output" in commands but kept by
// output on the panel, and a swap would still compile with two ints.
struct InputNo {
    int value = 0;
};

struct OutputNo {
    int value = 0;
};
