// The state's JSON text against what Qt's JSON gives for the same values: clients of every door
// must read the same bytes whichever wrote them, for any name a switcher or a user gives.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "hub/json/HubJson.h"

namespace {

QString Text(const std::string& text) {
    return QString::fromStdString(text);
}

QJsonValue Port(int port) {
    return port < 0 ? QJsonValue() : QJsonValue(port + 1);
}

QJsonArray QtSalvos(const SalvoBook& salvos) {
    QJsonArray list;
    for (const auto& [name, routes] : salvos) {
        QJsonArray items;
        for (const Route& route : routes) {
            QJsonObject item{{"output", route.output + 1}, {"input", route.input + 1}};
            if (route.level == Level::Video || route.level == Level::Audio) {
                item.insert("level", route.level == Level::Video ? "video" : "audio");
            }
            items.append(item);
        }
        list.append(QJsonObject{{"name", Text(name)}, {"routes", items}});
    }
    return list;
}

std::string QtState(const HubJson::Head& head, const CHubState& state, const SalvoBook& salvos,
                    ClientId viewer) {
    QJsonArray inputs;
    for (int port = 0; port < state.Inputs(); ++port) {
        inputs.append(QJsonObject{{"n", port + 1}, {"label", Text(state.InputLabel(port))}});
    }
    QJsonArray outputs;
    for (int port = 0; port < state.Outputs(); ++port) {
        const ClientId owner = state.LockOwner(port);
        QJsonObject output{{"n", port + 1},
                           {"label", Text(state.OutputLabel(port))},
                           {"input", Port(state.IsOff(port) ? -1 : state.VideoRoute(port))},
                           {"audio", Port(state.AudioRoute(port))},
                           {"lock", owner == kNoClient ? "none"
                                    : owner == viewer  ? "mine"
                                                       : "other"}};
        if (state.IsOff(port)) {
            output.insert("off", true);
        }
        outputs.append(output);
    }
    const QJsonObject whole{{"version", static_cast<qint64>(head.version)},
                            {"name", Text(head.name)},
                            {"present", head.present},
                            {"link", Text(head.link)},
                            {"inputs", inputs},
                            {"outputs", outputs},
                            {"salvos", QtSalvos(salvos)},
                            {"presets", CHub::kMaxPreset}};
    return QJsonDocument(whole).toJson(QJsonDocument::Compact).toStdString();
}

TEST(HubJsonTest, StateIsWhatQtWritesForOddNames) {
    using namespace std::string_literals;
    const std::string names[] = {
        "",
        "Camera 1",
        "say \"hi\" \\ back\\slash / slash",
        "tab\t lf\n cr\r bs\b ff\f",
        "nul\0 us\x1f esc\x1b del\x7f"s,
        "Ünïcödé — 日本語 🎬",
        std::string(40, 'W'),
        "cut \xe2\x82 lone \xff over \xc0\xaf surrogate \xed\xa0\x80 end \xf0\x9f",
    };
    for (const std::string& name : names) {
        CHubState state(3, 4, LabelNames{{{2, name}}, {{1, name}}});
        state.SetVideoRoute(0, 1);
        state.SetAudioRoute(0, 2);
        state.SetVideoRoute(1, 0);
        state.ApplyReplyLine("OFF->3");  // output 3 off; output 4 not heard yet
        state.SetLockOwner(0, 7);
        state.SetLockOwner(2, 9);
        const SalvoBook salvos{{name,
                                {Route{0, 1, Level::Default}, Route{1, 2, Level::Audio},
                                 Route{2, 0, Level::Video}, Route{3, 1, Level::AV}}}};
        const HubJson::Head head{std::uint64_t{1} << 40, name, !name.empty(), name};

        HubJson::SharedText shared;
        CJsonWriter json(shared.text);
        HubJson::State(json, head, state, &salvos, kNoClient, &shared.locks);
        for (const ClientId viewer : {kNoClient, ClientId{7}, ClientId{9}, ClientId{8}}) {
            const std::string expected = QtState(head, state, salvos, viewer);
            EXPECT_EQ(shared.SeenBy(viewer), expected) << name;
            std::string direct;
            CJsonWriter forViewer(direct);
            HubJson::State(forViewer, head, state, &salvos, viewer);
            EXPECT_EQ(direct, expected) << name;
            EXPECT_EQ(shared.SameFor(viewer), viewer == kNoClient || viewer == 8) << name;
        }
    }
}

}  // namespace
