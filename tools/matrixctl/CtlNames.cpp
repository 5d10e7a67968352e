#include "tools/matrixctl/CtlNames.h"

#include <cstddef>
#include <map>

#include "platform/PlainText.h"
#include "tools/matrixctl/CtlOptions.h"

namespace {

// A message lists this many candidates at most: a labels file may name a thousand outputs.
constexpr std::size_t kListedMax = 12;

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool StartsWithFolded(std::string_view text, std::string_view start) {
    if (text.size() < start.size()) {
        return false;
    }
    for (std::size_t i = 0; i < start.size(); ++i) {
        if (Lower(text[i]) != Lower(start[i])) {
            return false;
        }
    }
    return true;
}

std::string Listed(const std::map<int, std::string>& names, const std::vector<int>& numbers) {
    std::string list;
    for (std::size_t i = 0; i < numbers.size() && i < kListedMax; ++i) {
        // The file's names are the operator's text: never raw control bytes on a terminal.
        list +=
            (i == 0 ? "" : ", ") + std::to_string(numbers[i]) + " " + Quoted(names.at(numbers[i]));
    }
    if (numbers.size() > kListedMax) {
        list += ", ... (" + std::to_string(numbers.size()) + " in all)";
    }
    return list;
}

int Find(const std::map<int, std::string>& names, std::string_view name, const char* what,
         const char* plural, const std::string& file) {
    std::vector<int> whole;
    std::vector<int> starts;
    for (const auto& [number, label] : names) {
        if (StartsWithFolded(label, name)) {
            (label.size() == name.size() ? whole : starts).push_back(number);
        }
    }
    const std::vector<int>& found = whole.empty() ? starts : whole;
    if (found.size() == 1) {
        return found.front();
    }
    const std::string said = std::string(what) + " " + Quoted(name);
    if (found.size() > 1) {
        throw UsageError("ambiguous " + said + ": " + Listed(names, found));
    }
    std::vector<int> all;
    for (const auto& entry : names) {
        all.push_back(entry.first);
    }
    throw UsageError("unknown " + said + " (" +
                     (all.empty() ? "no " + std::string(plural) + " are named in " + Quoted(file)
                                  : std::string(plural) + ": " + Listed(names, all)) +
                     ")");
}

// An empty name is the start of every name: it would pick the one name there is, or be
// ambiguous among many, while the caller surely meant something else (an unset variable).
void RefuseEmpty(std::string_view name, const char* what) {
    if (Trim(name).empty()) {
        throw UsageError(std::string("empty ") + what + " " + Quoted(name) +
                         ": give its number or its name");
    }
}

}  // namespace

CCtlNames::CCtlNames(std::string path) : m_strPath(std::move(path)), m_bGiven(!m_strPath.empty()) {}

void CCtlNames::Load() {
    if (m_names) {
        return;
    }
    if (!m_bGiven) {
        m_strPath = DefaultLabelsFilePath();
    }
    LabelsFileRead read = ReadLabelsFile(m_strPath, m_bGiven);
    m_names = std::move(read.names);
    m_warnings = std::move(read.warnings);
}

int CCtlNames::Input(std::string_view name) {
    RefuseEmpty(name, "input");
    return Find(Names().inputs, name, "input", "inputs", m_strPath);
}

int CCtlNames::Output(std::string_view name) {
    RefuseEmpty(name, "output");
    return Find(Names().outputs, name, "output", "outputs", m_strPath);
}

const LabelNames& CCtlNames::Names() {
    Load();
    return *m_names;
}

std::vector<std::string> CCtlNames::TakeWarnings() {
    std::vector<std::string> warnings;
    warnings.swap(m_warnings);
    return warnings;
}
