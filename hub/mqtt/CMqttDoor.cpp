#include "hub/mqtt/CMqttDoor.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cctype>

#include "hub/CEventLog.h"
#include "hub/mqtt/MqttTopics.h"
#include "hub/web/ApiJson.h"
#include "platform/PlainText.h"

namespace {

// How long after connecting the discovery configs the broker held from earlier runs are
// looked at; those naming what is gone (a deleted salvo, an output of a bigger switcher) are
// emptied.
constexpr int kStaleConfigMs = 5000;

std::string Lower(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

}  // namespace

CMqttDoor::CMqttDoor(CHub& hub, CEventLog& log, MqttSettings settings, QObject* parent)
    : QObject(parent),
      m_hub(hub),
      m_settings(std::move(settings)),
      m_nClient(NewClientId()),
      m_client(
          [this] {
              CMqttClient::Settings broker = m_settings.broker;
              broker.willTopic = m_settings.base + "/status";
              broker.willPayload = "offline";
              return broker;
          }(),
          CMqttClient::Events{[this] { Connected(); },
                              [this](const std::string& topic, const std::string& payload,
                                     bool retained) { Message(topic, payload, retained); }},
          log, this),
      m_log(log) {
    m_flush.setSingleShot(true);
    connect(&m_flush, &QTimer::timeout, this, &CMqttDoor::Flush);
    m_forgetStale.setSingleShot(true);
    m_forgetStale.setInterval(kStaleConfigMs);
    connect(&m_forgetStale, &QTimer::timeout, this,
            [this] { m_client.Unsubscribe(HaDiscovery::ConfigFilter(m_settings.device)); });
    m_hub.AddListener(this);
}

CMqttDoor::~CMqttDoor() {
    m_hub.RemoveListener(this);
}

void CMqttDoor::Start() {
    m_client.Start();
}

void CMqttDoor::Stop() {
    m_client.Stop(m_settings.base + "/status", "offline", 1000);
}

void CMqttDoor::Publish(const std::string& topic, const std::string& payload) {
    m_client.Publish(m_settings.base + "/" + topic, payload, true);
}

// Everything the broker should hold, as after a restart of either side.
void CMqttDoor::Connected() {
    Publish("status", "online");
    std::vector<std::string> filters = MqttTopics::CommandFilters(m_settings.base);
    if (m_settings.haDiscovery) {
        filters.push_back(m_settings.device.prefix + "/status");
        filters.push_back(HaDiscovery::ConfigFilter(m_settings.device));
        m_forgetStale.start();
    }
    m_client.Subscribe(filters);
    m_strSwitcher.clear();
    PublishSwitcher();
    const CHubState& state = m_hub.State();
    for (int input = 0; input < state.Inputs(); ++input) {
        Publish("input/" + std::to_string(input + 1) + "/label", state.InputLabel(input));
    }
    const std::vector<std::string> choices = MqttTopics::InputChoices(state);
    for (int output = 0; output < state.Outputs(); ++output) {
        PublishRoute(output, choices);
        Publish("output/" + std::to_string(output + 1) + "/label", state.OutputLabel(output));
        PublishLock(output);
    }
    m_bStateDirty = true;
    m_bAllDiscovery = true;
    Flush();
}

void CMqttDoor::Message(const std::string& topic, const std::string& payload, bool retained) {
    const HaDiscovery::Device& device = m_settings.device;
    if (m_settings.haDiscovery && topic == device.prefix + "/status") {
        // Home Assistant started again and forgot the entities; a birth message the broker
        // kept only says it was there all along.
        if (payload == "online" && !retained) {
            m_bAllDiscovery = true;
            Later();
        }
        return;
    }
    const std::string_view config = "/config";
    if (m_settings.haDiscovery && topic.rfind(device.prefix + "/", 0) == 0 &&
        topic.size() > config.size() &&
        topic.compare(topic.size() - config.size(), config.size(), config) == 0) {
        if (retained && !payload.empty() && m_configs.count(topic) == 0) {
            m_client.Publish(topic, "", true);
        }
        return;
    }
    if (retained) {
        // A command kept by the broker would be carried out again at every reconnect.
        m_log.Log("mqtt: a retained command on " + Quoted(topic) +
                  " was not carried out; commands are taken as they are sent");
        return;
    }
    Command(topic, payload);
}

void CMqttDoor::Command(const std::string& topic, const std::string& payload) {
    const CHubState& state = m_hub.State();
    const auto command = MqttTopics::ReadCommand(m_settings.base, topic);
    const bool inRange =
        command && (command->kind == MqttTopics::Command::Kind::TakeSalvo ||
                    command->number <= (command->input ? state.Inputs() : state.Outputs()));
    if (!inRange) {
        Error(topic, payload, "no such input or output");
        return;
    }
    const int port = command->number - 1;
    CHub::Result result = CHub::Result::Queued;
    std::string why;
    switch (command->kind) {
        case MqttTopics::Command::Kind::Route: {
            const auto input = MqttTopics::ReadInput(state, payload, &why);
            if (!input) {
                Error(topic, payload, why);
                return;
            }
            result = m_hub.SubmitRoutes(m_nClient, {Route{port, *input}});
            break;
        }
        case MqttTopics::Command::Kind::Lock: {
            const std::string action = Lower(Trim(payload));
            if (action != "lock" && action != "unlock" && action != "force") {
                Error(topic, payload, "expected lock, unlock or force");
                return;
            }
            const CHub::LockAction lock = action == "lock"     ? CHub::LockAction::Lock
                                          : action == "unlock" ? CHub::LockAction::Unlock
                                                               : CHub::LockAction::Force;
            if (!m_hub.ChangeLocks(m_nClient, {{port, lock}})) {
                result = CHub::Result::Locked;
            }
            break;
        }
        case MqttTopics::Command::Kind::Label:
            if (!m_hub.SetLabels({LabelChange{command->input, command->number, payload}})) {
                Error(topic, payload, "a label is text (UTF-8)");
            }
            return;
        case MqttTopics::Command::Kind::TakeSalvo:
            result = m_hub.TakeSalvo(m_nClient, command->salvo);
            why = "no salvo is named " + Quoted(command->salvo, 64, '"');
            break;
    }
    switch (result) {
        case CHub::Result::Queued:
            return;
        case CHub::Result::Locked:
            why = "output locked by another controller";
            break;
        case CHub::Result::Full:
            why = "earlier commands of MQTT clients still wait for the switcher";
            break;
        case CHub::Result::Absent:
            why = "the switcher is absent";
            break;
        case CHub::Result::Bad:
            break;
    }
    Error(topic, payload, why);
}

void CMqttDoor::Error(const std::string& topic, const std::string& payload,
                      const std::string& why) {
    const QJsonObject error{
        {"topic", QString::fromStdString(topic)},
        {"payload", QString::fromUtf8(payload.data(), static_cast<qsizetype>(std::min<std::size_t>(
                                                          payload.size(), 256)))},
        {"error", QString::fromStdString(why)}};
    m_client.Publish(m_settings.base + "/error",
                     QJsonDocument(error).toJson(QJsonDocument::Compact).toStdString(), false);
}

void CMqttDoor::RoutesChanged(const std::vector<int>& outputs) {
    const std::vector<std::string> choices = MqttTopics::InputChoices(m_hub.State());
    for (const int output : outputs) {
        PublishRoute(output, choices);
    }
    m_bStateDirty = true;
    Later();
}

void CMqttDoor::LabelsChanged(const std::vector<int>& inputs, const std::vector<int>& outputs) {
    const CHubState& state = m_hub.State();
    for (const int input : inputs) {
        Publish("input/" + std::to_string(input + 1) + "/label", state.InputLabel(input));
    }
    for (const int output : outputs) {
        Publish("output/" + std::to_string(output + 1) + "/label", state.OutputLabel(output));
        m_dirtySelects.insert(output);
    }
    if (!inputs.empty()) {
        // Every picker offers the inputs by name and shows the chosen one by name.
        const std::vector<std::string> choices = MqttTopics::InputChoices(state);
        for (int output = 0; output < state.Outputs(); ++output) {
            PublishRoute(output, choices);
            m_dirtySelects.insert(output);
        }
    }
    m_bStateDirty = true;
    Later();
}

void CMqttDoor::LocksChanged(const std::vector<int>& outputs) {
    for (const int output : outputs) {
        PublishLock(output);
    }
    m_bStateDirty = true;
    Later();
}

void CMqttDoor::DeviceChanged(bool) {
    PublishSwitcher();
    // Routes learned while the switcher came are told once it is there.
    if (m_hub.Present()) {
        const std::vector<std::string> choices = MqttTopics::InputChoices(m_hub.State());
        for (int output = 0; output < m_hub.State().Outputs(); ++output) {
            PublishRoute(output, choices);
        }
    }
    m_bStateDirty = true;
    Later();
}

void CMqttDoor::SalvosChanged() {
    m_bButtonsDirty = true;
    m_bStateDirty = true;
    Later();
}

void CMqttDoor::PublishRoute(int output, const std::vector<std::string>& choices) {
    const int input = m_hub.State().VideoRoute(output);
    if (input < 0) {
        return;  // not heard yet: what the broker holds stays
    }
    const std::string topic = "output/" + std::to_string(output + 1);
    Publish(topic + "/input", std::to_string(input + 1));
    Publish(topic + "/source", choices[static_cast<std::size_t>(input)]);
}

void CMqttDoor::PublishLock(int output) {
    Publish("output/" + std::to_string(output + 1) + "/lock",
            m_hub.State().LockOwner(output) == kNoClient ? "none" : "locked");
}

void CMqttDoor::PublishSwitcher() {
    const std::string now = m_hub.Present() ? "present" : "absent";
    if (now != m_strSwitcher) {
        m_strSwitcher = now;
        Publish("switcher", now);
    }
}

void CMqttDoor::Later() {
    if (!m_flush.isActive()) {
        m_flush.start(0);
    }
}

void CMqttDoor::Flush() {
    m_flush.stop();
    if (m_bStateDirty) {
        m_bStateDirty = false;
        const QJsonObject state = ApiJson::State(
            m_hub, {QString::fromStdString(m_settings.device.name), m_settings.linkText()},
            m_nClient);
        Publish("state", QJsonDocument(state).toJson(QJsonDocument::Compact).toStdString());
    }
    if (m_settings.haDiscovery) {
        PublishDiscovery();
    }
    m_bAllDiscovery = false;
    m_bButtonsDirty = false;
    m_dirtySelects.clear();
}

void CMqttDoor::PublishDiscovery() {
    const HaDiscovery::Device& device = m_settings.device;
    const CHubState& state = m_hub.State();
    auto send = [this](const HaDiscovery::Config& config) {
        m_configs.insert(config.topic);
        m_client.Publish(config.topic, config.payload.toStdString(), true);
    };
    if (m_bAllDiscovery) {
        send(HaDiscovery::Connectivity(device));
        for (int output = 0; output < state.Outputs(); ++output) {
            m_dirtySelects.insert(output);
        }
    }
    if (!m_dirtySelects.empty()) {
        const std::vector<std::string> choices = MqttTopics::InputChoices(state);
        for (const int output : m_dirtySelects) {
            send(HaDiscovery::Select(device, state, output, choices));
        }
    }
    if (!m_bAllDiscovery && !m_bButtonsDirty) {
        return;
    }
    std::set<std::string> salvos;
    for (const auto& entry : m_hub.Salvos()) {
        salvos.insert(entry.first);
    }
    for (const std::string& gone : m_buttons) {
        if (salvos.count(gone) == 0) {
            const HaDiscovery::Config config = HaDiscovery::Button(device, gone);
            m_configs.erase(config.topic);
            m_client.Publish(config.topic, "", true);
        }
    }
    for (const std::string& salvo : salvos) {
        if (m_bAllDiscovery || m_buttons.count(salvo) == 0) {
            send(HaDiscovery::Button(device, salvo));
        }
    }
    m_buttons = std::move(salvos);
}
