#pragma once

#include <QString>

#include <map>
#include <string>
#include <vector>

// Names the operator gives to inputs and outputs ("Camera 2", "Projector"). They never change
// a key's caption or look; they appear as tool tips and in the keys' accessible names.
struct PanelLabels {
    std::map<int, QString> inputs;
    std::map<int, QString> outputs;

    // The name, or an empty text when there is none.
    QString Input(int number) const;
    QString Output(int number) const;
    bool Empty() const { return inputs.empty() && outputs.empty(); }
};

inline constexpr const char* kLabelsFileName = "matrixpanel-labels.ini";
inline constexpr int kLabelNumberMax = 1024;
inline constexpr int kLabelLengthMax = 40;

struct LabelsRead {
    PanelLabels labels;
    // One line each, naming the file and, where there is one, the line.
    std::vector<std::string> warnings;
};

// Reads an INI file with [inputs] and [outputs] sections of "number=name" lines. Every good
// entry is used; everything else is a warning. A missing file is a warning only when
// `missingIsWarning` (it was named on the command line); the default file may well not exist.
// Anything but a regular file is refused without being opened (a FIFO would never end).
LabelsRead ReadPanelLabels(const QString& path, bool missingIsWarning);
