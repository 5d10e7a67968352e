#pragma once

#include <QHostAddress>
#include <QObject>
#include <QTcpServer>
#include <chrono>
#include <functional>
#include <map>
#include <string>

class CClientAccess;
class CEventLog;
class QSocketNotifier;

// One listening port of a door: connections are taken in bursts, checked against --allow, and
// handed on as descriptors. Out of descriptors (or with only the reserve left) the listener
// rests instead of spinning, and says so once.
class CAcceptor : public QObject {
    Q_OBJECT

  public:
    // Connections taken at one wake-up of the listener: a storm of connects leaves the event
    // loop free in between for the clients already served, and for a stop.
    static constexpr int kAcceptBurst = 16;
    // How long the listener rests when a connection cannot be taken for want of descriptors
    // or memory (the connection waits in the backlog meanwhile).
    static constexpr int kAcceptPauseMs = 500;
    // A client refused by --allow is logged once in this time for its address.
    static constexpr std::chrono::minutes kRefusalLogInterval{1};

    // `accepted` takes each allowed connection's descriptor (non-blocking, close-on-exec).
    // `server` listens (it never accepts itself); by default one of the acceptor's own.
    CAcceptor(const char* kind, const CClientAccess& access, CEventLog& log,
              std::function<void(int fd, const QHostAddress& peer)> accepted, QObject* parent,
              QTcpServer* server = nullptr);

    bool Listen(const QHostAddress& address, quint16 port, QString* error);
    quint16 Port() const { return m_pServer->serverPort(); }

  private:
    void Accept();
    void Refused(const QString& peer);
    void Log(const std::string& line);

    const char* m_kind;
    const CClientAccess& m_access;
    CEventLog& m_log;
    const std::function<void(int, const QHostAddress&)> m_accepted;
    QTcpServer m_ownServer;
    QTcpServer* m_pServer;
    // The daemon accepts itself, beside the server, so that it sees why an accept failed.
    QSocketNotifier* m_pAcceptable = nullptr;
    long m_nAcceptFailures = 0;  // in a row, since the last connection taken
    std::map<QString, std::chrono::steady_clock::time_point> m_refusalsLogged;
};
