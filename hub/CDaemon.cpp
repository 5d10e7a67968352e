#include "hub/CDaemon.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QFile>
#include <QThread>
#include <QUrl>

#include "access/SettingsFiles.h"
#include "link/Terminator.h"
#include "panel/CommandSet.h"
#include "platform/CSerialDevice.h"

#include "app/Version.h"
#include "hub/CSalvosFile.h"
#include "hub/core/CSwitcherLink.h"
#include "hub/mqtt/CMqttDoor.h"
#include "hub/net/CAvahiAdvertiser.h"
#include "hub/net/CAvahiBrowser.h"
#include "hub/net/CSiteProbe.h"
#include "hub/raw/CRawServer.h"
#include "hub/router/CRouterServer.h"
#include "hub/swp08/CSwp08Serial.h"
#include "hub/swp08/CSwp08Server.h"
#include "hub/web/ApiJson.h"
#include "hub/web/CWebDoor.h"
#include "hub/web/WebSessions.h"

namespace {

// A first start has no labels file: that is no fault. The line says what happens instead and
// where names will go, and whether they can go there (the directory of a unit's sandbox may be
// read-only, or the service user not in its group). Empty when the file is there.
std::string MissingLabelsFile(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 || errno != ENOENT) {
        return {};
    }
    std::string line =
        "labels: no labels file yet: default names are served, and names "
        "clients change are written to " +
        path;
    const std::size_t slash = path.rfind('/');
    const std::string dir =
        slash == std::string::npos ? "." : path.substr(0, std::max<std::size_t>(slash, 1));
    if (::access(dir.c_str(), W_OK | X_OK) != 0) {
        line +=
            ", but its directory cannot be written to (" + std::string(std::strerror(errno)) + ")";
    }
    return line;
}

void WriteLogLine(const std::string& line) {
    const std::string text = "matrixd: " + line + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
}

// Qt's own warnings (a write to a socket that just closed, say) go through the daemon's log,
// so that they are limited as the daemon's lines are; from another thread they are written.
CEventLog* g_pQtLog = nullptr;

void QtMessage(QtMsgType, const QMessageLogContext&, const QString& message) {
    const std::string line = "qt: " + message.toStdString();
    if (g_pQtLog != nullptr && QCoreApplication::instance() != nullptr &&
        QThread::currentThread() == QCoreApplication::instance()->thread()) {
        g_pQtLog->Log(line);
    } else {
        WriteLogLine(line);
    }
}

// Twelve hex digits of `seed`, the same in every run.
std::string Hex12(const std::string& seed) {
    std::uint64_t hash = 14695981039346656037ULL;  // FNV-1a
    for (const char c : seed) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    }
    char text[16];
    std::snprintf(text, sizeof text, "%012llx",
                  static_cast<unsigned long long>(hash & 0xffffffffffffULL));
    return text;
}

// Twelve hex digits that stay the same from run to run for the same switcher and name.
std::string UniqueId(const DaemonOptions& options) {
    return Hex12(options.name + '\n' + options.serial + '\n' + options.host + ':' +
                 std::to_string(options.netPort) + '\n' + std::to_string(options.inputs) + 'x' +
                 std::to_string(options.outputs));
}

// The start line scripts read the bound port from; out at once, also into a pipe.
void PrintBound(const char* what, const std::string& address, quint16 port) {
    const bool v6 = address.find(':') != std::string::npos;
    std::printf("%s %s%s%s:%u\n", what, v6 ? "[" : "", address.c_str(), v6 ? "]" : "",
                static_cast<unsigned>(port));
    std::fflush(stdout);
}

}  // namespace

CDaemon::CDaemon(const DaemonOptions& options, QObject* parent)
    : QObject(parent),
      m_options(options),
      m_strLabelsPath(options.labelsPath.empty() ? DefaultLabelsFilePath() : options.labelsPath),
      m_log(WriteLogLine),
      m_access(options.allow) {
    m_logFlush.setInterval(static_cast<int>(CEventLog::kWindow.count()) * 1000);
    connect(&m_logFlush, &QTimer::timeout, this, [this] {
        m_log.Flush();
        if (!m_log.HasPending()) {
            m_logFlush.stop();  // an idle daemon wakes for nothing
        }
    });
    m_log.OnPending([this] {
        if (!m_logFlush.isActive()) {
            m_logFlush.start();
        }
    });
    m_learn.setSingleShot(true);
    m_learn.setInterval(kLearnMs);
    connect(&m_learn, &QTimer::timeout, this, [this] { m_pHub->EndLearning(); });
    m_queueTimer.setSingleShot(true);
    m_queueTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_queueTimer, &QTimer::timeout, this, &CDaemon::RunQueue);
    connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, this,
            [this] {
                if (m_bQueueDue) {
                    RunQueue();
                }
            });
    g_pQtLog = &m_log;
    qInstallMessageHandler(QtMessage);
}

CDaemon::~CDaemon() {
    // The front ends and the link use the engine and the log: they go first. The labels
    // writer then writes what still waits. The broker hears "offline" first.
    if (m_pMqtt != nullptr) {
        m_pMqtt->Stop();
        delete m_pMqtt;
    }
    delete m_pAdvertiser;
    delete m_pBrowser;
    delete m_pWeb;
    delete m_pRaw;
    delete m_pSwp08;
    delete m_pSwp08Serial;
    delete m_pRouter;
    delete m_pLink;
    m_pLabelsWriter.reset();
    m_pSalvosFile.reset();
    qInstallMessageHandler(nullptr);
    g_pQtLog = nullptr;
    m_log.Flush({}, true);
}

void CDaemon::Log(const std::string& line) {
    m_log.Log(line);
}

bool CDaemon::Start() {
    RemoveDeadWritersFiles(m_strLabelsPath);
    LabelsFileRead labels = ReadLabelsFile(m_strLabelsPath, false);
    for (const std::string& warning : labels.warnings) {
        Log(warning);
    }
    if (const std::string missing = MissingLabelsFile(m_strLabelsPath); !missing.empty()) {
        Log(missing);
    }
    m_pLabelsWriter = std::make_unique<CLabelsWriter>(
        m_strLabelsPath, labels.names, [this](const CLabelsWriter::Written& written) {
            // From the writer's thread to the event loop.
            QMetaObject::invokeMethod(
                this, [this, written] { LabelsWritten(written); }, Qt::QueuedConnection);
        });
    m_pState =
        std::make_unique<CHubState>(m_options.inputs, m_options.outputs, std::move(labels.names));
    m_pQueue = std::make_unique<CCommandQueue>(QueueSettings(), QueueEvents());
    HubSettings settings;
    settings.routeKind = m_options.routeKind;
    settings.noEcho = m_options.noEcho;
    m_pHub = std::make_unique<CHub>(*m_pState, static_cast<IHubStore&>(*this), *m_pQueue, settings);
    ReadSalvos();
    m_pRouterDoor = std::make_unique<CRouterDoor>(
        *m_pHub, static_cast<IRouterOutput&>(*this),
        RouterIdentity{"matrixd ASCII matrix switcher", m_options.name, UniqueId(m_options)},
        m_options.routerAbsentClose);

    m_pLink = new CSwitcherLink(m_options, m_log, this);
    connect(m_pLink, &CSwitcherLink::Up, this, &CDaemon::LinkUp);
    connect(m_pLink, &CSwitcherLink::Down, this, &CDaemon::LinkDown);
    connect(m_pLink, &CSwitcherLink::Received, this, &CDaemon::SwitcherBytes);

    const QHostAddress address(QString::fromStdString(m_options.listen));
    QString error;
    if (m_options.videohubOn) {
        m_pRouter = new CRouterServer(m_access, m_log, this);
        m_pRouter->SetDoor(m_pRouterDoor.get());
        if (!m_pRouter->Listen(address, m_options.videohubPort, &error)) {
            WriteLogLine("cannot listen on " + m_options.listen + ":" +
                         std::to_string(m_options.videohubPort) + ": " + error.toStdString());
            return false;
        }
        PrintBound("videohub", m_options.listen, m_pRouter->Port());
    }
    if (m_options.rawOn) {
        m_pRaw =
            new CRawServer(*m_pHub, *m_pLink, m_options.allowLineSettings, m_access, m_log, this);
        if (!m_pRaw->Listen(address, m_options.rawPort, &error)) {
            WriteLogLine("cannot listen on " + m_options.listen + ":" +
                         std::to_string(m_options.rawPort) + ": " + error.toStdString());
            return false;
        }
        PrintBound("raw", m_options.listen, m_pRaw->Port());
    }
    if ((m_options.swp08On || !m_options.swp08Serial.empty()) && !StartSwp08(address)) {
        return false;
    }
    if (m_options.webOn && !StartWeb(address)) {
        return false;
    }
    if (!m_options.noAdvertise && (m_pRouter != nullptr || m_pWeb != nullptr)) {
        m_pAdvertiser = new CAvahiAdvertiser(this);
        m_pAdvertiser->Advertise(QString::fromStdString(m_options.name),
                                 m_pRouter != nullptr ? m_pRouter->Port() : 0,
                                 m_pWeb != nullptr ? m_pWeb->Port() : 0);
    }
    if (!m_options.mqttHost.empty() && !StartMqtt()) {
        return false;
    }
    m_pLink->Start();
    return true;
}

bool CDaemon::StartSwp08(const QHostAddress& address) {
    m_pSwp08Door = std::make_unique<CSwp08Door>(*m_pHub, static_cast<ISwp08Output&>(*this));
    if (!m_options.swp08Serial.empty()) {
        m_pSwp08Serial = new CSwp08Serial(m_options.swp08Serial, m_options.swp08Baud, m_log, this);
        m_pSwp08Serial->SetDoor(m_pSwp08Door.get());
        m_pSwp08Serial->Start();
    }
    if (!m_options.swp08On) {
        return true;
    }
    m_pSwp08 = new CSwp08Server(m_access, m_log, this);
    m_pSwp08->SetDoor(m_pSwp08Door.get());
    QString error;
    if (!m_pSwp08->Listen(address, m_options.swp08Port, &error)) {
        WriteLogLine("cannot listen on " + m_options.listen + ":" +
                     std::to_string(m_options.swp08Port) + ": " + error.toStdString());
        return false;
    }
    PrintBound("swp08", m_options.listen, m_pSwp08->Port());
    return true;
}

// The door's clients are the port's and the serial line's.
void CDaemon::SendMessage(ClientId client, const std::string& message) {
    if (m_pSwp08Serial != nullptr && m_pSwp08Serial->SendMessage(client, message)) {
        return;
    }
    if (m_pSwp08 != nullptr) {
        m_pSwp08->SendMessage(client, message);
    }
}

bool CDaemon::StartMqtt() {
    MqttSettings mqtt;
    CMqttClient::Settings& broker = mqtt.broker;
    broker.host = m_options.mqttHost;
    broker.port = m_options.mqttPort;
    broker.tls = m_options.mqttTls;
    broker.caFile = m_options.mqttCaFile;
    broker.user = m_options.mqttUser;
    if (!m_options.mqttPasswordFile.empty()) {
        QFile file(QString::fromStdString(m_options.mqttPasswordFile));
        if (!file.open(QIODevice::ReadOnly)) {
            WriteLogLine("the MQTT password file " + m_options.mqttPasswordFile +
                         " cannot be read: " + file.errorString().toStdString());
            return false;
        }
        broker.password = file.readLine(4096).toStdString();
        while (!broker.password.empty() &&
               (broker.password.back() == '\n' || broker.password.back() == '\r')) {
            broker.password.pop_back();
        }
    }
    if (!broker.caFile.empty() && ::access(broker.caFile.c_str(), R_OK) != 0) {
        WriteLogLine("the MQTT certificate file " + broker.caFile +
                     " cannot be read: " + std::strerror(errno));
        return false;
    }
    const std::string uniqueId = UniqueId(m_options);
    // Stable across restarts, and apart for two machines that serve alike-named switchers.
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    broker.clientId = "matrixd-" + uniqueId + "-" + Hex12(host);
    mqtt.base = m_options.mqttBase.empty() ? "matrixpanel/" + uniqueId : m_options.mqttBase;
    std::printf("mqtt %s\n", mqtt.base.c_str());
    std::fflush(stdout);
    mqtt.haDiscovery = m_options.haDiscovery;
    mqtt.haAudio = m_options.haAudio;
    mqtt.device = {m_options.haPrefix, mqtt.base,
                   // Home Assistant's device is the switcher as the site names it (its base
                   // topic), however it is reached: moved to another line it stays one device.
                   m_options.mqttBase.empty() ? uniqueId : Hex12("mqtt\n" + mqtt.base),
                   m_options.name,
                   std::to_string(m_options.inputs) + "x" + std::to_string(m_options.outputs) +
                       " matrix switcher",
                   kProgramVersion};
    mqtt.linkText = [this] { return LinkText(); };
    m_pMqtt = new CMqttDoor(*m_pHub, m_log, std::move(mqtt), this);
    m_pMqtt->Start();
    return true;
}

bool CDaemon::StartWeb(const QHostAddress& address) {
    WebSettings web;
    if (!m_options.webPasswordFile.empty()) {
        QFile file(QString::fromStdString(m_options.webPasswordFile));
        const QByteArray hash = file.open(QIODevice::ReadOnly) ? file.read(4096).trimmed() : "";
        if (!WebPassword::IsHash(hash.toStdString())) {
            WriteLogLine("the web password file " + m_options.webPasswordFile +
                         (file.isOpen() ? " holds no password hash (matrixd --hash-password "
                                          "writes one)"
                                        : " cannot be read: " + file.errorString().toStdString()));
            return false;
        }
        web.passwordHash = hash.toStdString();
    }
    web.name = QString::fromStdString(m_options.name);
    web.linkText = [this] { return LinkText(); };
    for (const std::string& name : m_options.webHosts) {
        web.hostNames.push_back(QString::fromStdString(name).toLower());
    }
    std::vector<QString> configured;
    for (const std::string& url : m_options.sites) {
        configured.push_back(QString::fromStdString(url));
    }
    m_pSiteProbe = new CSiteProbe(configured, this);
    web.sites = [this, configured] {
        std::vector<WebSettings::Site> sites;
        for (const QString& url : configured) {
            sites.push_back({QUrl(url).host(), url, m_pSiteProbe->Answers(url)});
        }
        if (m_pBrowser != nullptr) {
            // Announced on the network right now: there.
            for (const auto& [name, url] : m_pBrowser->Panels()) {
                sites.push_back({name, url, true});
            }
        }
        return sites;
    };
    m_pWeb = new CWebDoor(*m_pHub, m_access, m_log, std::move(web), this);
    QString error;
    if (!m_pWeb->Listen(address, m_options.webPort, &error)) {
        WriteLogLine("cannot listen on " + m_options.listen + ":" +
                     std::to_string(m_options.webPort) + ": " + error.toStdString());
        return false;
    }
    PrintBound("web", m_options.listen, m_pWeb->Port());
    if (!m_options.noAdvertise) {
        m_pBrowser = new CAvahiBrowser(m_pWeb->Port(), this);
    }
    return true;
}

QString CDaemon::LinkText() const {
    const QString target =
        m_options.link == DaemonOptions::Link::Serial
            ? QString::fromStdString(m_options.serial)
            : QString::fromStdString(m_options.host) + ":" + QString::number(m_options.netPort);
    if (m_pLink == nullptr || !m_pLink->IsUp()) {
        return target + ", link down";
    }
    return target + (m_pHub->DeviceState() == CHub::Device::Absent
                         ? ", connected, the switcher does not answer"
                         : ", connected");
}

// Salvos live beside the labels file.
void CDaemon::ReadSalvos() {
    const std::size_t slash = m_strLabelsPath.rfind('/');
    m_pSalvosFile = std::make_unique<CSalvosFile>(
        (slash == std::string::npos ? std::string() : m_strLabelsPath.substr(0, slash + 1)) +
            "salvos.json",
        [this](const std::string& line) { Log(line); },
        [this] {
            QMetaObject::invokeMethod(
                this,
                [this] {
                    Log("salvos: " + m_pSalvosFile->Path() +
                        " could not be written; the salvos are served and written with the next "
                        "change");
                },
                Qt::QueuedConnection);
        });
    m_pSalvosFile->Load(*m_pHub);
}

void CDaemon::SalvosChanged(const SalvoBook& salvos) {
    m_pSalvosFile->Changed(salvos);
}

void CDaemon::SendToClient(ClientId client, const std::string& bytes) {
    if (m_pRouter != nullptr) {
        m_pRouter->Send(client, bytes.data(), static_cast<qint64>(bytes.size()));
    }
}

void CDaemon::SendShared(ClientId client, const SharedBytes& bytes) {
    if (m_pRouter != nullptr) {
        m_pRouter->Send(client, bytes);
    }
}

void CDaemon::LabelsChanged(const std::vector<LabelChange>& changes) {
    m_nLabelChanges = m_pLabelsWriter->Change(changes);
}

void CDaemon::LabelsWritten(const CLabelsWriter::Written& written) {
    if (!written.ok) {
        Log("labels: the labels file " + m_strLabelsPath +
            " could not be written; the names are served and written with the next change");
        return;
    }
    // Names put into the file by hand meanwhile are shown, unless clients changed names since
    // this write began (the next write brings both).
    if (written.generation == m_nLabelChanges) {
        m_pHub->AdoptFileLabels(written.onFile);
    }
}

CCommandQueue::Settings CDaemon::QueueSettings() const {
    CCommandQueue::Settings settings;
    settings.replyWait = CCommandQueue::Millis(m_options.replyWaitMs);
    settings.gap = CCommandQueue::Millis(m_options.gapMs);
    settings.repliesExpected = !m_options.noEcho;
    // Two characters' time on a slow line, at least 20 ms: the bytes of one reply arrive in
    // bursts (USB adapters pass them on every 16 ms).
    // After a route's one reply line, only the line's last characters: on TCP nothing.
    if (m_options.link == DaemonOptions::Link::Serial) {
        const int twoCharacters = TwoCharactersMs(SerialLine{m_options.baud});
        settings.settle = CCommandQueue::Millis(std::max(20, twoCharacters));
        settings.echoSettle = CCommandQueue::Millis(twoCharacters);
    }
    // One output's route: one line back, and nothing a client would not want to know.
    const DeviceCommand probe = OutputStatusCommand(OutputNo{1});
    settings.probe = probe.text + std::string(SerialTerminator(probe.flag));
    return settings;
}

CCommandQueue::Events CDaemon::QueueEvents() {
    CCommandQueue::Events events;
    events.write = [this](ClientId, const std::string& command) {
        if (m_pLink->Send(command)) {
            m_pHub->CommandSent(command);
        }
    };
    events.presence = [this](bool present, std::size_t dropped) {
        // From inside the queue's own work: carried out once it is done.
        QMetaObject::invokeMethod(
            this, [this, present, dropped] { Present(present, dropped); }, Qt::QueuedConnection);
    };
    events.room = [this](ClientId client) {
        if (m_pRaw != nullptr) {
            m_pRaw->Resume(client);
        }
    };
    // Run before the event loop next waits: a request goes to the switcher in the loop turn
    // that read it (after the door's answer to its client), and the next command in the turn
    // that read the last one's reply.
    events.wake = [this] { m_bQueueDue = true; };
    events.mayGo = [this](ClientId client, const std::string& command) {
        if (m_pHub->MayGo(client, command)) {
            return true;
        }
        if (m_pRaw != nullptr) {
            m_pRaw->Refused(client);  // its one answer for the command it sent
        }
        return false;
    };
    events.log = [this](const std::string& line) { Log(line); };
    return events;
}

void CDaemon::RunQueue() {
    m_bQueueDue = false;
    const auto now = CCommandQueue::Clock::now();
    m_pQueue->Run(now);
    if (const auto next = m_pQueue->NextRun()) {
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - now);
        m_queueTimer.start(static_cast<int>(std::max<std::int64_t>(0, wait.count())));
    } else {
        m_queueTimer.stop();
    }
}

void CDaemon::Present(bool present, std::size_t dropped) {
    if (!m_pLink->IsUp()) {
        return;
    }
    if (present) {
        m_log.Always("switcher: answers again; its routes are learned anew");
        LinkUp();
        return;
    }
    m_log.Always("switcher: " + std::to_string(CCommandQueue::kMissesForAbsent) +
                 " commands in a row went unanswered; reported absent until it answers" +
                 (dropped > 0 ? " (" + std::to_string(dropped) + " waiting commands dropped)"
                              : std::string()));
    m_learn.stop();
    m_pHub->LinkDown();
}

void CDaemon::CloseClient(ClientId client, const std::string& why) {
    if (m_pRouter != nullptr) {
        m_pRouter->Close(client, why);
    }
}

void CDaemon::ResumeClient(ClientId client) {
    if (m_pRouter != nullptr) {
        m_pRouter->Resume(client);
    }
}

void CDaemon::LinkUp() {
    if (!m_pQueue->Present()) {
        m_pQueue->LinkUp();
    }
    m_pHub->LinkUp();
    m_learn.start();
}

void CDaemon::LinkDown() {
    m_learn.stop();
    if (const std::size_t dropped = m_pQueue->LinkDown(); dropped > 0) {
        m_log.Always("link: " + std::to_string(dropped) +
                     " commands that waited for the switcher were dropped");
    }
    m_pHub->LinkDown();
}

void CDaemon::SwitcherBytes(const QByteArray& bytes) {
    // The answer to the daemon's own probe would look to the panel like a route just made.
    if (m_pRaw != nullptr && !m_pQueue->ProbeUnanswered()) {
        m_pRaw->SendToAll(ShareBytes(bytes.toStdString()));
    }
    const std::string_view view(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    m_pQueue->Received(view);
    m_pHub->SwitcherBytes(view);
    if (m_pHub->DeviceState() != CHub::Device::Learning) {
        m_learn.stop();
    }
}
