#include "hub/mqtt/CMqttDoor.h"

#include <QJsonDocument>
#include <algorithm>
#include <cctype>
#include <utility>

#include "hub/CEventLog.h"
#include "hub/json/HubJson.h"
#include "hub/mqtt/MqttTopics.h"
#include "platform/PlainText.h"

namespace {

// How long after connecting the discovery configs the broker held from earlier runs are
// looked at; those naming what is gone (a deleted salvo, an output of a bigger switcher, the
// same switcher under an identifier of before) are emptied.
constexpr int kStaleConfigMs = 5000;

// Answers on "<base>/error" per second. A flood of bad commands must not become a flood of
// answers: they would queue up towards the broker faster than it takes them.
constexpr int kErrorsPerSecond = 20;
constexpr int kErrorWindowMs = 1000;

std::string Lower(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

QByteArray Compact(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
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
                                     bool retained) { Message(topic, payload, retained); },
                              [this](const std::string& topic, std::size_t bytes, bool retained) {
                                  Oversized(topic, bytes, retained);
                              }},
          log, this),
      m_log(log) {
    m_flush.setSingleShot(true);
    connect(&m_flush, &QTimer::timeout, this, &CMqttDoor::Flush);
    m_forgetStale.setSingleShot(true);
    m_forgetStale.setInterval(kStaleConfigMs);
    connect(&m_forgetStale, &QTimer::timeout, this, [this] {
        for (const std::string& filter : HaDiscovery::ConfigFilters(m_settings.device)) {
            m_client.Unsubscribe(filter);
        }
    });
    m_errorWindow.setSingleShot(true);
    m_errorWindow.setInterval(kErrorWindowMs);
    connect(&m_errorWindow, &QTimer::timeout, this, &CMqttDoor::ErrorWindowEnded);
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
        for (const std::string& filter : HaDiscovery::ConfigFilters(m_settings.device)) {
            filters.push_back(filter);
        }
        m_forgetStale.start();
    }
    m_client.Subscribe(filters);
    m_strSwitcher.clear();
    PublishSwitcher();
    const CHubState& state = m_hub.State();
    for (int input = 0; input < state.Inputs(); ++input) {
        Publish("input/" + std::to_string(input + 1) + "/label", state.InputLabel(input));
    }
    for (int output = 0; output < state.Outputs(); ++output) {
        Publish("output/" + std::to_string(output + 1) + "/label", state.OutputLabel(output));
        PublishLock(output);
    }
    AllRoutesDirty();
    m_choices.clear();
    m_bStateDirty = true;
    m_bSalvosDirty = true;
    m_bAllDiscovery = true;
    Flush();
}

void CMqttDoor::Message(const std::string& topic, const std::string& payload, bool retained) {
    if (m_settings.haDiscovery && topic == m_settings.device.prefix + "/status") {
        // Home Assistant started again and forgot the entities; a birth message the broker
        // kept only says it was there all along.
        if (payload == "online" && !retained) {
            m_bAllDiscovery = true;
            Later();
        }
        return;
    }
    if (IsConfigTopic(topic)) {
        if (retained && !payload.empty()) {
            ForgetStaleConfig(topic, payload);
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

void CMqttDoor::Oversized(const std::string& topic, std::size_t bytes, bool retained) {
    if (retained || IsConfigTopic(topic) || topic == m_settings.device.prefix + "/status") {
        return;  // not a command: somebody else's config or status, of no concern here
    }
    Error(topic, "",
          "a command is at most " + std::to_string(CMqttClient::kMaxMessageBytes / 1024) +
              " KiB; this one had " + std::to_string(bytes) + " bytes and was not read");
}

bool CMqttDoor::IsConfigTopic(const std::string& topic) const {
    const std::string_view config = "/config";
    return m_settings.haDiscovery && topic.rfind(m_settings.device.prefix + "/", 0) == 0 &&
           topic.size() > config.size() &&
           topic.compare(topic.size() - config.size(), config.size(), config) == 0;
}

// A config of this switcher that this run did not publish is of an earlier one: Home Assistant
// would keep its entity (a second device, when the identifier changed) driving our topics.
void CMqttDoor::ForgetStaleConfig(const std::string& topic, const std::string& payload) {
    if (m_configs.count(topic) != 0 ||
        !HaDiscovery::IsThisDevices(m_settings.device, topic, payload)) {
        return;
    }
    m_log.Log("mqtt: emptied " + Quoted(topic) + ", an earlier run's Home Assistant config");
    m_client.Publish(topic, "", true);
}

void CMqttDoor::Command(const std::string& topic, const std::string& payload) {
    const CHubState& state = m_hub.State();
    std::string why;
    const auto command = MqttTopics::ReadCommand(m_settings.base, topic, &why);
    const bool inRange =
        command && (command->kind == MqttTopics::Command::Kind::TakeSalvo ||
                    command->number <= (command->input ? state.Inputs() : state.Outputs()));
    if (!inRange) {
        Error(topic, payload, why.empty() ? "no such input or output" : why);
        return;
    }
    const int port = command->number - 1;
    CHub::Result result = CHub::Result::Queued;
    switch (command->kind) {
        case MqttTopics::Command::Kind::Route: {
            const auto input = MqttTopics::ReadInput(state, payload, &why);
            if (!input) {
                Error(topic, payload, why);
                return;
            }
            why = MqttLockRefusal(port);
            if (!why.empty()) {
                Error(topic, payload, why);
                return;
            }
            result = m_hub.SubmitRoutes(m_nClient, {Route{port, *input, command->level}});
            break;
        }
        case MqttTopics::Command::Kind::Lock: {
            const auto changed = ChangeLock(port, payload);
            if (!changed) {
                Error(topic, payload, "expected lock, unlock or force");
                return;
            }
            result = *changed;
            break;
        }
        case MqttTopics::Command::Kind::Label:
            if (!m_hub.SetLabels({LabelChange{command->input, command->number, payload}})) {
                Error(topic, payload, "a label is text (UTF-8)");
            }
            return;
        case MqttTopics::Command::Kind::TakeSalvo:
            why = MqttLockRefusal(command->salvo);
            if (!why.empty()) {
                Error(topic, payload, why);
                return;
            }
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

std::optional<CHub::Result> CMqttDoor::ChangeLock(int port, const std::string& payload) {
    const std::string action = Lower(Trim(payload));
    if (action != "lock" && action != "unlock" && action != "force") {
        return std::nullopt;
    }
    const CHub::LockAction lock = action == "lock"     ? CHub::LockAction::Lock
                                  : action == "unlock" ? CHub::LockAction::Unlock
                                                       : CHub::LockAction::Force;
    if (!m_hub.ChangeLocks(m_nClient, {{port, lock}})) {
        return CHub::Result::Locked;
    }
    if (lock == CHub::LockAction::Lock) {
        m_mqttLocks.insert(port);
    } else {
        m_mqttLocks.erase(port);
    }
    return CHub::Result::Queued;
}

std::string CMqttDoor::MqttLockRefusal(int output) const {
    if (m_mqttLocks.count(output) == 0) {
        return {};
    }
    const std::string lockTopic = "output/" + std::to_string(output + 1) + "/lock/set";
    return "output " + std::to_string(output + 1) +
           " is locked over MQTT, which every MQTT client shares: publish unlock or force to " +
           lockTopic + " first";
}

std::string CMqttDoor::MqttLockRefusal(const std::string& salvo) const {
    const auto found = m_hub.Salvos().find(salvo);
    if (found != m_hub.Salvos().end()) {
        for (const Route& route : found->second) {
            std::string why = MqttLockRefusal(route.output);
            if (!why.empty()) {
                return why;
            }
        }
    }
    return {};
}

void CMqttDoor::Error(const std::string& topic, const std::string& payload,
                      const std::string& why) {
    if (!m_errorWindow.isActive()) {
        m_errorWindow.start();
    }
    if (m_nErrorsShown >= kErrorsPerSecond) {
        ++m_nErrorsLeftOut;
        return;
    }
    ++m_nErrorsShown;
    PublishError(QJsonObject{
        {"topic", QString::fromStdString(topic)},
        {"payload", QString::fromUtf8(payload.data(), static_cast<qsizetype>(std::min<std::size_t>(
                                                          payload.size(), 256)))},
        {"error", QString::fromStdString(why)}});
}

void CMqttDoor::ErrorWindowEnded() {
    m_nErrorsShown = 0;
    const int leftOut = std::exchange(m_nErrorsLeftOut, 0);
    if (leftOut > 0) {
        PublishError(QJsonObject{
            {"topic", ""},
            {"payload", ""},
            {"error", QString::fromStdString(std::to_string(leftOut) +
                                             " more commands could not be carried out; their "
                                             "answers were left out")},
            {"left_out", leftOut}});
    }
}

// Once, and not kept: an answer is for whoever is listening now.
void CMqttDoor::PublishError(const QJsonObject& error) {
    m_client.Publish(m_settings.base + "/error", Compact(error).toStdString(), false, 0);
}

void CMqttDoor::RoutesChanged(const std::vector<int>& outputs) {
    m_dirtyRoutes.insert(outputs.begin(), outputs.end());
    m_bStateDirty = true;
    Later();
}

void CMqttDoor::AudioRoutesChanged(const std::vector<int>& outputs) {
    for (const int output : outputs) {
        // Only the switcher switching the output off takes its audio route away.
        if (m_hub.State().AudioRoute(output) < 0) {
            m_audioOff.insert(output);
        } else {
            m_audioOff.erase(output);
        }
    }
    m_dirtyAudio.insert(outputs.begin(), outputs.end());
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
    // An input's new name changes the pickers' choices: Flush sees to them.
    m_bStateDirty = true;
    Later();
}

void CMqttDoor::LocksChanged(const std::vector<int>& outputs) {
    for (const int output : outputs) {
        // Opened by a force of another door, or the hub let it go.
        if (m_hub.State().LockOwner(output) != m_nClient) {
            m_mqttLocks.erase(output);
        }
        PublishLock(output);
    }
    m_bStateDirty = true;
    Later();
}

void CMqttDoor::DeviceChanged(bool) {
    PublishSwitcher();
    // Routes learned while the switcher came are told once it is there.
    if (m_hub.Present()) {
        AllRoutesDirty();
    }
    m_bStateDirty = true;
    Later();
}

void CMqttDoor::SalvosChanged() {
    m_bButtonsDirty = true;
    m_bSalvosDirty = true;
    Later();
}

// "off" while the switcher has the output switched off; no choice of a picker reads so.
void CMqttDoor::PublishRoute(int output) {
    const std::string topic = "output/" + std::to_string(output + 1);
    if (m_hub.State().IsOff(output)) {
        Publish(topic + "/input", "off");
        Publish(topic + "/source", "off");
        return;
    }
    const int input = m_hub.State().VideoRoute(output);
    if (input < 0) {
        return;  // not heard yet: what the broker holds stays
    }
    Publish(topic + "/input", std::to_string(input + 1));
    Publish(topic + "/source", m_choices[static_cast<std::size_t>(input)]);
}

// The audio route's input and its name, as for the video route; "off" once the switcher
// switched the output off, until an audio route reaches it.
void CMqttDoor::PublishAudio(int output) {
    const std::string topic = "output/" + std::to_string(output + 1) + "/audio";
    const int input = m_hub.State().AudioRoute(output);
    if (input >= 0) {
        Publish(topic, std::to_string(input + 1));
        Publish(topic + "/source", m_choices[static_cast<std::size_t>(input)]);
    } else if (m_hub.State().IsOff(output) || m_audioOff.count(output) != 0) {
        Publish(topic, "off");
        Publish(topic + "/source", "off");
    }
    // Else not heard yet: what the broker holds stays.
}

void CMqttDoor::AllRoutesDirty() {
    for (int output = 0; output < m_hub.State().Outputs(); ++output) {
        m_dirtyRoutes.insert(output);
        m_dirtyAudio.insert(output);
    }
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

// The web API's whole state but the salvos, which have a topic of their own: they change
// rarely and may be long, the state changes with every route.
std::string CMqttDoor::StateText() const {
    const HubJson::Head head{m_hub.Version(), m_settings.device.name, m_hub.Present(),
                             m_settings.linkText().toStdString()};
    std::string text;
    CJsonWriter json(text);
    HubJson::State(json, head, m_hub.State(), nullptr, m_nClient);
    return text;
}

void CMqttDoor::Later() {
    if (!m_flush.isActive()) {
        m_flush.start(0);
    }
}

void CMqttDoor::Flush() {
    m_flush.stop();
    TakeNewChoices();
    if (m_settings.haDiscovery) {
        PublishDiscovery();
    }
    // After the configs: Home Assistant refuses a state that is not among the options it
    // knows, and does not look at the retained one again when the options come later.
    for (const int output : std::exchange(m_dirtyRoutes, {})) {
        PublishRoute(output);
    }
    for (const int output : std::exchange(m_dirtyAudio, {})) {
        PublishAudio(output);
    }
    if (std::exchange(m_bSalvosDirty, false)) {
        Publish("salvos", HubJson::SalvosText(m_hub.Salvos()));
    }
    if (std::exchange(m_bStateDirty, false)) {
        Publish("state", StateText());
    }
    m_bAllDiscovery = false;
    m_bButtonsDirty = false;
    m_dirtySelects.clear();
}

void CMqttDoor::TakeNewChoices() {
    const CHubState& state = m_hub.State();
    std::vector<std::string> choices = MqttTopics::InputChoices(state);
    if (choices == m_choices) {
        return;
    }
    auto renamed = [&](int input) {
        const auto shown = static_cast<std::size_t>(input);
        return input >= 0 && (m_choices.empty() || m_choices[shown] != choices[shown]);
    };
    for (int output = 0; output < state.Outputs(); ++output) {
        if (renamed(state.VideoRoute(output))) {
            m_dirtyRoutes.insert(output);
        }
        if (renamed(state.AudioRoute(output))) {
            m_dirtyAudio.insert(output);
        }
        m_dirtySelects.insert(output);
    }
    m_choices = std::move(choices);
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
    for (const int output : m_dirtySelects) {
        send(HaDiscovery::Select(device, state, output, m_choices));
        if (m_settings.haAudio) {
            send(HaDiscovery::AudioSelect(device, state, output, m_choices));
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
