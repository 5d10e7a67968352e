#include "panel/PanelLabels.h"

#include <sys/stat.h>

#include <QFile>
#include <QSettings>
#include <QStringList>

#include <cerrno>
#include <cstring>

namespace {

// A labels file of a few hundred names is a few KB; anything this large is not one.
constexpr qint64 kFileSizeMax = 1 << 20;

QString Lookup(const std::map<int, QString>& names, int number) {
    const auto found = names.find(number);
    return found != names.end() ? found->second : QString();
}

// Where each key of the two sections stands in the file, and the lines that are no INI at
// all, so that warnings can name the line the operator must fix.
struct LineIndex {
    std::map<QString, int> keyLines;  // "inputs/7" -> line
    std::vector<int> malformed;
};

LineIndex IndexLines(const QByteArray& bytes) {
    LineIndex index;
    QString section;
    int number = 0;
    for (const QByteArray& raw : bytes.split('\n')) {
        ++number;
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.startsWith(u';') || line.startsWith(u'#')) {
            continue;
        }
        if (line.startsWith(u'[') && line.endsWith(u']')) {
            section = line.mid(1, line.size() - 2).trimmed();
            continue;
        }
        const qsizetype equals = line.indexOf(u'=');
        if (equals <= 0) {
            index.malformed.push_back(number);
            continue;
        }
        index.keyLines.emplace(section + u'/' + line.left(equals).trimmed(), number);
    }
    return index;
}

}  // namespace

QString PanelLabels::Input(int number) const {
    return Lookup(inputs, number);
}

QString PanelLabels::Output(int number) const {
    return Lookup(outputs, number);
}

LabelsRead ReadPanelLabels(const QString& path, bool missingIsWarning) {
    LabelsRead read;
    const std::string file = path.toStdString();
    const auto warn = [&](int line, const std::string& what) {
        read.warnings.push_back("matrixpanel: " + file +
                                (line > 0 ? ":" + std::to_string(line) : std::string()) + ": " +
                                what);
    };

    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) {
        if (errno != ENOENT || missingIsWarning) {
            warn(0, std::strerror(errno));
        }
        return read;
    }
    if (!S_ISREG(info.st_mode) || info.st_size > kFileSizeMax) {
        warn(0, "not a labels file (not a regular file of at most 1 MiB)");
        return read;
    }
    QFile raw(path);
    if (!raw.open(QIODevice::ReadOnly)) {
        warn(0, raw.errorString().toStdString());
        return read;
    }
    const LineIndex index = IndexLines(raw.read(kFileSizeMax));
    for (const int line : index.malformed) {
        warn(line, "not a \"number=name\" line");
    }

    QSettings settings(path, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError) {
        warn(0, "cannot be read as an INI file");
        return read;
    }
    const std::pair<const char*, std::map<int, QString>*> sections[] = {
        {"inputs", &read.labels.inputs}, {"outputs", &read.labels.outputs}};
    for (const auto& [section, names] : sections) {
        settings.beginGroup(section);
        for (const QString& key : settings.childKeys()) {
            bool isNumber = false;
            const int number = key.toInt(&isNumber);
            if (!isNumber || number < 1 || number > kLabelNumberMax) {
                const auto line = index.keyLines.find(QString(section) + u'/' + key);
                warn(line != index.keyLines.end() ? line->second : 0,
                     "\"" + key.toStdString() + "\" is not a number from 1 to 1024");
                continue;
            }
            // An unquoted name with a comma reads as a list: it is still one name.
            const QVariant value = settings.value(key);
            const QString name = value.typeId() == QMetaType::QStringList
                                     ? value.toStringList().join(u", ")
                                     : value.toString();
            const QString cut = name.trimmed().left(kLabelLengthMax).trimmed();
            if (!cut.isEmpty()) {
                (*names)[number] = cut;
            }
        }
        settings.endGroup();
    }
    return read;
}
