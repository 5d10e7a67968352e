#pragma once

#include <QString>

#include <map>
#include <string>
#include <vector>

#include "access/LabelsFile.h"

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

struct LabelsRead {
    PanelLabels labels;
    // One line each, naming the file and, where there is one, the line.
    std::vector<std::string> warnings;
};

// The labels file (see ReadLabelsFile) with the names as texts and each warning starting with
// "matrixpanel: ". A missing file is a warning only when `missingIsWarning` (it was named on the
// command line); the default file may well not exist.
LabelsRead ReadPanelLabels(const QString& path, bool missingIsWarning);
// The same with the path's bytes as given: a file name that is not UTF-8 opens too (a QString
// cannot carry one).
LabelsRead ReadPanelLabels(const std::string& path, bool missingIsWarning);
