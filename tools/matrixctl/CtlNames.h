#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "access/LabelsFile.h"

// Inputs and outputs by the operator's names from the labels file, read once and only when a
// name is first needed. A name matches case-insensitively (ASCII letters), the whole name
// first, then the start of exactly one name: "laptop" finds "Laptop HDMI".
class CCtlNames {
  public:
    // path: the file --labels names, or empty for the panel's own file (which may be missing).
    explicit CCtlNames(std::string path);

    // The number a name stands for. Throws UsageError for an unknown or ambiguous name, with
    // the candidates.
    int Input(std::string_view name);
    int Output(std::string_view name);

    // Every name the file gives (read now if it has not been).
    const LabelNames& Names();
    // What the file's reading warned of, once.
    std::vector<std::string> TakeWarnings();

  private:
    void Load();

    std::string m_strPath;
    bool m_bGiven;
    std::optional<LabelNames> m_names;
    std::vector<std::string> m_warnings;
};
