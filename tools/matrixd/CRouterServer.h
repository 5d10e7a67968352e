#pragma once

#include <map>

#include "tools/matrixd/CClientServer.h"
#include "tools/matrixd/RequestReader.h"

class CRouterCore;

// The router-protocol port: reads each client's blocks and hands them to the engine.
class CRouterServer : public CClientServer {
    Q_OBJECT

  public:
    CRouterServer(const CClientAccess& access, CEventLog& log, QObject* parent);

    void SetCore(CRouterCore* core) { m_pCore = core; }
    // A client the engine held is read again (from the event loop).
    void Resume(ClientId client);

  protected:
    void Connected(ClientId client) override;
    void Readable(ClientId client, QTcpSocket& socket) override;
    void Gone(ClientId client) override;

  private:
    CRouterCore* m_pCore = nullptr;
    std::map<ClientId, CRequestReader> m_readers;
};
