#include "panel/PanelLabels.h"

#include <QFile>

namespace {

QString Lookup(const std::map<int, QString>& names, int number) {
    const auto found = names.find(number);
    return found != names.end() ? found->second : QString();
}

std::map<int, QString> Texts(const std::map<int, std::string>& names) {
    std::map<int, QString> texts;
    for (const auto& [number, name] : names) {
        texts.emplace(number, QString::fromStdString(name));  // UTF-8, checked by the reader
    }
    return texts;
}

}  // namespace

QString PanelLabels::Input(int number) const {
    return Lookup(inputs, number);
}

QString PanelLabels::Output(int number) const {
    return Lookup(outputs, number);
}

LabelsRead ReadPanelLabels(const QString& path, bool missingIsWarning) {
    return ReadPanelLabels(QFile::encodeName(path).toStdString(), missingIsWarning);
}

LabelsRead ReadPanelLabels(const std::string& path, bool missingIsWarning) {
    LabelsFileRead file = ReadLabelsFile(path, missingIsWarning);
    LabelsRead read;
    read.labels.inputs = Texts(file.names.inputs);
    read.labels.outputs = Texts(file.names.outputs);
    for (std::string& warning : file.warnings) {
        read.warnings.push_back("matrixpanel: " + std::move(warning));
    }
    return read;
}
