#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <set>
#include <string>

#include "hub/core/CHub.h"
#include "hub/mqtt/CMqttClient.h"
#include "hub/mqtt/HaDiscovery.h"

class CEventLog;

struct MqttSettings {
    CMqttClient::Settings broker;  // its client id and last will are the door's to set
    std::string base;
    bool haDiscovery = true;
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
    void Command(const std::string& topic, const std::string& payload);
    void Error(const std::string& topic, const std::string& payload, const std::string& why);
    void StaleConfig(const std::string& topic, const std::string& payload);

    void RoutesChanged(const std::vector<int>& outputs) override;
    void LabelsChanged(const std::vector<int>& inputs, const std::vector<int>& outputs) override;
    void LocksChanged(const std::vector<int>& outputs) override;
    void DeviceChanged(bool wasPresent) override;
    void SalvosChanged() override;

    void PublishLock(int output);
    // `choices`: InputChoices, worked out once for all outputs.
    void PublishRoute(int output, const std::vector<std::string>& choices);
    void PublishSwitcher();
    void Publish(const std::string& topic, const std::string& payload);
    // The whole state and the discovery configs are sent once per turn of the event loop,
    // however many changes the turn brought.
    void Later();
    void Flush();
    void PublishDiscovery();

    CHub& m_hub;
    MqttSettings m_settings;
    ClientId m_nClient;
    CMqttClient m_client;
    CEventLog& m_log;
    QTimer m_flush;
    QTimer m_forgetStale;
    bool m_bStateDirty = false;
    std::set<int> m_dirtySelects;
    bool m_bButtonsDirty = false;
    bool m_bAllDiscovery = false;
    std::string m_strSwitcher;        // what "<base>/switcher" last said
    std::set<std::string> m_configs;  // discovery topics published in this run
    std::set<std::string> m_buttons;  // their salvos
};
