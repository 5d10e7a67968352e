#pragma once

#include <string>

// One name a client changed: input or output `number` (1-based, as the labels file counts)
// now reads `name`; an empty name gives the port its default back.
struct LabelChange {
    bool input = false;
    int number = 0;
    std::string name;

    bool operator==(const LabelChange&) const = default;
};
