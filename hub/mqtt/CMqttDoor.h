#pragma once

#include <QJsonObject>
#include <QObject>
#include <QTimer>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "hub/core/CHub.h"
#include "hub/mqtt/CMqttClient.h"
#include "hub/mqtt/HaDiscovery.h"

class CEventLog;

struct MqttSettings {
    CMqttClient::Settings broker;  // its client id and last will are the door's to set
    std::string base;
    bool haDiscovery = true;
    bool haAudio = false;               // a second picker per output, for its audio alone
    HaDiscovery::Device device;         // prefix, name, Unique ID, model, version
    std::function<QString()> linkText;  // how the switcher is reached, for the state
};

// The MQTT door: the switcher's state as retained topics under the base topic, commands from
// "/set" topics (and salvo takes) carried out through the hub as one client of it, answers to
// commands that cannot be carried out on "<base>/error", and Home Assistant's discovery.
class CMqttDoor : public QObject, private IHubListener {
  public:
    CMqttDoor(CHub& hub, CEventLog& log, MqttSettings settings, QObject* parent = nullptr);
    ~CMqttDoor() override;

    void Start();
    // "offline" published and the connection closed cleanly, before the daemon ends.
    void Stop();

  private:
    void Connected();
    void Message(const std::string& topic, const std::string& payload, bool retained);
    void Oversized(const std::string& topic, std::size_t bytes, bool retained);
    bool IsConfigTopic(const std::string& topic) const;
    void ForgetStaleConfig(const std::string& topic, const std::string& payload);
    void Command(const std::string& topic, const std::string& payload);
    // What `lock/set` asks, carried out; nothing when the payload is none of the three.
    std::optional<CHub::Result> ChangeLock(int port, const std::string& payload);
    // Why a route over MQTT may not go to `output` (empty: it may).
    std::string MqttLockRefusal(int output) const;
    std::string MqttLockRefusal(const std::string& salvo) const;
    // Answers on "<base>/error", at most kErrorsPerSecond, then one count of those left out.
    void Error(const std::string& topic, const std::string& payload, const std::string& why);
    void ErrorWindowEnded();
    void PublishError(const QJsonObject& error);

    void RoutesChanged(const std::vector<int>& outputs) override;
    void AudioRoutesChanged(const std::vector<int>& outputs) override;
    void LabelsChanged(const std::vector<int>& inputs, const std::vector<int>& outputs) override;
    void LocksChanged(const std::vector<int>& outputs) override;
    void DeviceChanged(bool wasPresent) override;
    void SalvosChanged() override;

    void PublishLock(int output);
    void PublishRoute(int output);
    void PublishAudio(int output);
    // Every output's routes, both levels, at the next Flush.
    void AllRoutesDirty();
    void PublishSwitcher();
    void Publish(const std::string& topic, const std::string& payload);
    std::string StateText() const;
    // What is published is gathered and sent once per turn of the event loop, however many
    // changes the turn brought.
    void Later();
    void Flush();
    // The pickers' choices as they are now; where one changed, its pickers' configs and the
    // routes that show it are to be published again.
    void TakeNewChoices();
    void PublishDiscovery();

    CHub& m_hub;
    MqttSettings m_settings;
    ClientId m_nClient;
    CMqttClient m_client;
    CEventLog& m_log;
    QTimer m_flush;
    QTimer m_forgetStale;
    QTimer m_errorWindow;
    int m_nErrorsShown = 0;
    int m_nErrorsLeftOut = 0;
    bool m_bStateDirty = false;
    bool m_bSalvosDirty = false;
    std::set<int> m_dirtyRoutes;
    std::set<int> m_dirtyAudio;
    // Outputs whose audio the switcher switched off (with the output) and that no audio route
    // reached since: their audio shows "off" even once a video route turned the output on again.
    std::set<int> m_audioOff;
    std::set<int> m_dirtySelects;
    bool m_bButtonsDirty = false;
    bool m_bAllDiscovery = false;
    std::vector<std::string> m_choices;  // InputChoices as last published
    std::string m_strSwitcher;           // what "<base>/switcher" last said
    std::set<std::string> m_configs;     // discovery topics published in this run
    std::set<std::string> m_buttons;     // their salvos
    // Outputs locked over MQTT. Every MQTT publisher is this one client of the hub, so the hub
    // would let any of them route there; the door holds such a lock against MQTT itself.
    std::set<int> m_mqttLocks;
};
