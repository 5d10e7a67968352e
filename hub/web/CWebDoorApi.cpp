// The API's resources (docs/api.md) and the page.
#include <QFile>
#include <QFileInfo>

#include "hub/web/ApiJson.h"
#include "hub/web/CWebDoor.h"
#include "hub/web/WebReplies.h"

using namespace WebReplies;

namespace {

// Why a salvo was not stored, as HTTP says it: no room left is a conflict with what is kept.
int SalvoRefusalStatus(CHub::SalvoPut put) {
    switch (put) {
        case CHub::SalvoPut::TooManySalvos:
            return 409;
        case CHub::SalvoPut::TooManyRoutes:
            return 413;
        case CHub::SalvoPut::Stored:
        case CHub::SalvoPut::BadName:
        case CHub::SalvoPut::BadRoute:
            break;
    }
    return 400;
}

std::optional<int> PortIn(const QString& text, int count) {
    bool ok = false;
    const int n = text.toInt(&ok);
    return ok && n >= 1 && n <= count && !text.startsWith('+') && !text.startsWith('0')
               ? std::optional<int>(n - 1)
               : std::nullopt;
}

}  // namespace

CWebDoor::Reply CWebDoor::Page(const QString& path) const {
    const QString name = path == "/" ? "index.html" : path.mid(1);
    QFile file(":/web/" + name);
    // "." and ".." name the page's directory, not a file of it.
    if (name.contains('/') || name.startsWith('.') || !QFileInfo(file).isFile() ||
        !file.open(QIODevice::ReadOnly)) {
        return Reply{404, "not found\n", "text/plain; charset=utf-8"};
    }
    const QByteArray type = name.endsWith(".html")  ? "text/html; charset=utf-8"
                            : name.endsWith(".js")  ? "text/javascript; charset=utf-8"
                            : name.endsWith(".css") ? "text/css; charset=utf-8"
                            : name.endsWith(".svg") ? "image/svg+xml"
                                                    : "application/octet-stream";
    // Checked again at each load: a new matrixd brings its own page.
    return Reply{200, file.readAll(), type, {{"Cache-Control", "no-cache"}}};
}

CWebDoor::Reply CWebDoor::Api(const Call& call) {
    using Method = QHttpServerRequest::Method;
    const QStringList& p = call.path;
    const CHubState& state = m_hub.State();
    if (p == QStringList{"state"} && call.method == Method::Get) {
        return Reply{200, StateBody(call.client)};
    }
    if (p == QStringList{"routes"} && call.method == Method::Post) {
        return Routes(call);
    }
    if (p == QStringList{"sites"} && call.method == Method::Get) {
        return Sites();
    }
    if (p.size() == 3 && (p[0] == "inputs" || p[0] == "outputs")) {
        const bool input = p[0] == "inputs";
        const auto port = PortIn(p[1], input ? state.Inputs() : state.Outputs());
        if (!port) {
            return Reply{404, Error("no " + p[0].chopped(1) + " " + p[1].left(16))};
        }
        if (p[2] == "label" && call.method == Method::Put) {
            return Label(call, input, *port);
        }
        if (!input && p[2] == "lock" && call.method == Method::Post) {
            return Lock(call, *port);
        }
    }
    if (p.value(0) == "salvos") {
        if (p.size() == 1 && call.method == Method::Get) {
            return Reply{200, QByteArray::fromStdString(HubJson::SalvosText(m_hub.Salvos()))};
        }
        if (p.size() == 2 || p.size() == 3) {
            return Salvo(call, p[1].toStdString(), p.value(2));
        }
    }
    if (p.size() == 3 && p[0] == "presets" && call.method == Method::Post) {
        const auto preset = PortIn(p[1], CHub::kMaxPreset);
        if (!preset) {
            return Reply{404, Error("presets are 1 to " + QString::number(CHub::kMaxPreset))};
        }
        return Preset(call, *preset + 1, p[2]);
    }
    return Reply{404, Error("no such call")};
}

CWebDoor::Reply CWebDoor::Accepted(CHub::Result result, int okStatus) const {
    switch (result) {
        case CHub::Result::Queued:
            return Reply{okStatus,
                         Json(QJsonObject{{"version", static_cast<qint64>(m_hub.Version())}})};
        case CHub::Result::Locked:
            return Reply{423, Error("an output is locked by another controller")};
        case CHub::Result::Full:
            return Reply{429, Error("earlier commands of this panel still wait for the switcher")};
        case CHub::Result::Absent:
            return Reply{503, Error("the switcher is absent")};
        case CHub::Result::Bad:
            break;
    }
    return Reply{400, Error("a port out of range, or an output named twice")};
}

CWebDoor::Reply CWebDoor::Changed() const {
    return Reply{200, Json(QJsonObject{{"version", static_cast<qint64>(m_hub.Version())}})};
}

CWebDoor::Reply CWebDoor::Routes(const Call& call) {
    QString error;
    const auto routes = ApiJson::ReadRoutes(call.body, &error, {"ifVersion"});
    if (!routes) {
        return Reply{400, Error(error)};
    }
    if (call.body.contains("ifVersion")) {
        const QJsonValue version = call.body.value("ifVersion");
        if (!version.isDouble()) {
            return Reply{400, Error("\"ifVersion\" must be a number")};
        }
        if (version.toDouble() != static_cast<double>(m_hub.Version())) {
            return Reply{409, Error("changed meanwhile: now at version " +
                                    QString::number(m_hub.Version()))};
        }
    }
    return Accepted(m_hub.SubmitRoutes(call.client, *routes));
}

CWebDoor::Reply CWebDoor::Label(const Call& call, bool input, int port) {
    const QJsonValue label = call.body.value("label");
    if (!label.isString() || call.body.size() != 1) {
        return Reply{400, Error("the body is {\"label\": \"...\"}")};
    }
    // Cut to the length every door keeps, as a name from a control surface is.
    if (!m_hub.SetLabels({LabelChange{input, port + 1, label.toString().toStdString()}})) {
        return Reply{400, Error("a label is text (UTF-8)")};
    }
    return Changed();
}

CWebDoor::Reply CWebDoor::Lock(const Call& call, int port) {
    const QString action = call.body.value("action").toString();
    CHub::LockAction lock{};
    if (action == "lock") {
        lock = CHub::LockAction::Lock;
    } else if (action == "unlock") {
        lock = CHub::LockAction::Unlock;
    } else if (action == "force") {
        lock = CHub::LockAction::Force;
    } else {
        return Reply{400, Error("the body is {\"action\": \"lock\"}, \"unlock\" or \"force\"")};
    }
    if (!m_hub.ChangeLocks(call.client, {{port, lock}})) {
        return Reply{423, Error("the output is locked by another controller")};
    }
    return Changed();
}

CWebDoor::Reply CWebDoor::Salvo(const Call& call, const std::string& name, const QString& action) {
    using Method = QHttpServerRequest::Method;
    const auto found = m_hub.Salvos().find(name);
    const bool known = found != m_hub.Salvos().end();
    if (action == "take" && call.method == Method::Post) {
        return known ? Accepted(m_hub.TakeSalvo(call.client, name))
                     : Reply{404, Error("no such salvo")};
    }
    if (!action.isEmpty()) {
        return Reply{404, Error("no such call")};
    }
    switch (call.method) {
        case Method::Get:
            return known ? Reply{200,
                                 QByteArray::fromStdString(HubJson::SalvoText(name, found->second))}
                         : Reply{404, Error("no such salvo")};
        case Method::Delete:
            return m_hub.DeleteSalvo(name) ? Changed() : Reply{404, Error("no such salvo")};
        case Method::Put: {
            QString error;
            const auto routes = ApiJson::ReadRoutes(call.body, &error, {}, Level::AV);
            if (!routes) {
                return Reply{400, Error(error)};
            }
            const CHub::SalvoPut put = m_hub.PutSalvo(name, *routes);
            if (put != CHub::SalvoPut::Stored) {
                return Reply{SalvoRefusalStatus(put),
                             Error(QString::fromStdString(CHub::SalvoRefusal(put)))};
            }
            return Changed();
        }
        default:
            return Reply{405, Error("GET, PUT or DELETE")};
    }
}

CWebDoor::Reply CWebDoor::Preset(const Call& call, int preset, const QString& action) {
    if (action != "save" && action != "recall") {
        return Reply{404, Error("presets/N/save or presets/N/recall")};
    }
    return Accepted(m_hub.SubmitPreset(call.client, action == "save", preset));
}

CWebDoor::Reply CWebDoor::Sites() const {
    QJsonArray list;
    if (m_settings.sites) {
        for (const WebSettings::Site& site : m_settings.sites()) {
            QJsonObject item{{"name", site.name}, {"url", site.url}};
            if (site.answers) {
                item.insert("answers", *site.answers);
            }
            list.append(item);
        }
    }
    return Reply{200, Json(list)};
}
