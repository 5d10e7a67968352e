#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <optional>
#include <vector>

#include "hub/core/CHub.h"

// The JSON the web API reads (docs/api.md), and the salvos file. Numbers are counted from 1
// here, as on the panel; the hub counts from 0. What clients read is written by HubJson.
namespace ApiJson {

// {"routes": [{"output": 5, "input": 3, "level": "audio"}, ...]} and nothing else but
// `allowedKeys`: the routes counted from 0 (their range is the hub's to check), or why not. A
// route without "level" has `unnamed`.
std::optional<std::vector<Route>> ReadRoutes(const QJsonObject& body, QString* error,
                                             const QStringList& allowedKeys = {},
                                             Level unnamed = Level::Default);

// The salvos file: {"salvos": [{"name": ..., "routes": [...]}, ...]}, indented for hand edits.
QByteArray SalvosFile(const SalvoBook& salvos);
// The most salvos the hub keeps take about 110 MB written so; with room for hand edits beyond
// that, a larger file is none of ours.
inline constexpr qint64 kMaxSalvosFileBytes =
    qint64(CHub::kMaxSalvos) * (qint64(CHub::kMaxSalvoRoutes) * 128 + 1024);
struct SalvosFileRead {
    std::vector<CHub::NamedRoutes> salvos;  // in the file's order, for the hub to check
    // Entries that are no {"name": "...", "routes": [...]}: their name (or what stands there)
    // and what is wrong.
    std::vector<std::pair<QString, QString>> unreadable;
};
// Nothing, and why, when the bytes are not JSON or hold no "salvos" list.
std::optional<SalvosFileRead> ReadSalvosFile(const QByteArray& bytes, QString* error);

}  // namespace ApiJson
