#include "tools/matrixd/CDaemon.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "tools/matrixd/CAvahiAdvertiser.h"
#include "tools/matrixd/CRawServer.h"
#include "tools/matrixd/CRouterServer.h"
#include "tools/matrixd/CSwitcherLink.h"

namespace {

void WriteLogLine(const std::string& line) {
    const std::string text = "matrixd: " + line + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
}

// Twelve hex digits that stay the same from run to run for the same switcher and name.
std::string UniqueId(const DaemonOptions& options) {
    const std::string seed = options.name + '\n' + options.serial + '\n' + options.host + ':' +
                             std::to_string(options.netPort) + '\n' +
                             std::to_string(options.inputs) + 'x' + std::to_string(options.outputs);
    std::uint64_t hash = 14695981039346656037ULL;  // FNV-1a
    for (const char c : seed) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    }
    char text[16];
    std::snprintf(text, sizeof text, "%012llx",
                  static_cast<unsigned long long>(hash & 0xffffffffffffULL));
    return text;
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
    connect(&m_learn, &QTimer::timeout, this, [this] { m_pCore->EndLearning(); });
}

CDaemon::~CDaemon() {
    // The front ends and the link use the engine and the log: they go first.
    delete m_pAdvertiser;
    delete m_pRaw;
    delete m_pRouter;
    delete m_pLink;
    m_log.Flush({}, true);
}

void CDaemon::Log(const std::string& line) {
    m_log.Log(line);
}

bool CDaemon::Start() {
    LabelsFileRead labels = ReadLabelsFile(m_strLabelsPath, !m_options.labelsPath.empty());
    for (const std::string& warning : labels.warnings) {
        Log(warning);
    }
    m_pState = std::make_unique<CRouterState>(m_options.inputs, m_options.outputs,
                                              std::move(labels.names));
    RouterSettings settings;
    settings.identity =
        RouterIdentity{"matrixd ASCII matrix switcher", m_options.name, UniqueId(m_options)};
    settings.routeKind = m_options.routeKind;
    settings.noEcho = m_options.noEcho;
    m_pCore =
        std::make_unique<CRouterCore>(*m_pState, static_cast<IRouterOutput&>(*this), settings);

    m_pLink = new CSwitcherLink(m_options, m_log, this);
    connect(m_pLink, &CSwitcherLink::Up, this, &CDaemon::LinkUp);
    connect(m_pLink, &CSwitcherLink::Down, this, &CDaemon::LinkDown);
    connect(m_pLink, &CSwitcherLink::Received, this, &CDaemon::SwitcherBytes);

    const QHostAddress address(QString::fromStdString(m_options.listen));
    QString error;
    if (m_options.videohubOn) {
        m_pRouter = new CRouterServer(m_access, m_log, this);
        m_pRouter->SetCore(m_pCore.get());
        if (!m_pRouter->Listen(address, m_options.videohubPort, &error)) {
            WriteLogLine("cannot listen on " + m_options.listen + ":" +
                         std::to_string(m_options.videohubPort) + ": " + error.toStdString());
            return false;
        }
        PrintBound("videohub", m_options.listen, m_pRouter->Port());
    }
    if (m_options.rawOn) {
        m_pRaw = new CRawServer(*m_pLink, m_access, m_log, this);
        m_pRaw->OnForwarded([this](const std::string& command) { m_pCore->CommandSent(command); });
        if (!m_pRaw->Listen(address, m_options.rawPort, &error)) {
            WriteLogLine("cannot listen on " + m_options.listen + ":" +
                         std::to_string(m_options.rawPort) + ": " + error.toStdString());
            return false;
        }
        PrintBound("raw", m_options.listen, m_pRaw->Port());
    }
    if (m_pRouter != nullptr && !m_options.noAdvertise) {
        m_pAdvertiser = new CAvahiAdvertiser(this);
        m_pAdvertiser->Advertise(QString::fromStdString(m_options.name), m_pRouter->Port());
    }
    m_pLink->Start();
    return true;
}

void CDaemon::SendToClient(ClientId client, const std::string& bytes) {
    if (m_pRouter != nullptr) {
        m_pRouter->Send(client, bytes.data(), static_cast<qint64>(bytes.size()));
    }
}

bool CDaemon::SendCommand(const std::string& command) {
    return m_pLink->Send(command);
}

LabelNames CDaemon::LabelsOnFile(const LabelNames& fallback) {
    struct stat st {};
    if (::stat(m_strLabelsPath.c_str(), &st) != 0) {
        return errno == ENOENT ? LabelNames{} : fallback;  // removed by hand: start afresh
    }
    LabelsFileRead read = ReadLabelsFile(m_strLabelsPath, true);
    // A file that is there but gives nothing and a complaint could not be read: what is known
    // stays, rather than every name being dropped at the next write.
    return read.names.Empty() && !read.warnings.empty() ? fallback : std::move(read.names);
}

bool CDaemon::SaveLabels(const LabelNames& labels) {
    return WriteLabelsFile(m_strLabelsPath, labels);
}

void CDaemon::ResumeClient(ClientId client) {
    if (m_pRouter != nullptr) {
        m_pRouter->Resume(client);
    }
}

void CDaemon::LinkUp() {
    m_pCore->LinkUp();
    m_learn.start();
}

void CDaemon::LinkDown() {
    m_learn.stop();
    m_pCore->LinkDown();
}

void CDaemon::SwitcherBytes(const QByteArray& bytes) {
    if (m_pRaw != nullptr) {
        m_pRaw->SendToAll(bytes);
    }
    m_pCore->SwitcherBytes(
        std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
    if (m_pCore->DeviceState() != CRouterCore::Device::Learning) {
        m_learn.stop();
    }
}
