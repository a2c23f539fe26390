#include "endpoints/ShutdownRequest.h"

#include <memory>

#include "baselib/kx_socket.h"
#include "foundation/HostAddr.h"
#include "foundation/KXServer.h"
#include "foundation/Log.h"

namespace {

const int kConnectTimeoutSeconds = 10;
// Short: the request is tiny, and a server that does not take it at once is
// not going to.
const int kSendTimeoutMilliseconds = 10;

}  // namespace

bool SendShutdownRequest(const char* who, std::string& host, unsigned short port,
                         KXStatus& sendStatus)
{
    bool requested = false;
    sendStatus = ERROR_NONE;
    CatchWIException(who, [&] {
        if (host.empty())
            host = CPrimaryIP().address();
        CKXServer server(host.c_str(), port);
        KXSocket* socket = server.getSocket(kConnectTimeoutSeconds);

        KXStatus status = KXSocketSetTimeout(socket, kSendTimeoutMilliseconds, CLog::_pKXLog);
        if (status != ERROR_NONE)
            KXLogWrite(CLog::_pKXLog, "%s(): error set timeout [%s]:%hu (%d)", who,
                       host.c_str(), port, status);
        sendStatus = KXSocketFPrint(socket,
                                    "GET /\r\n"
                                    "X-tarvel-EXTRAINFO: shutdown\r\n"
                                    "user-agent: tarvel Service\r\n"
                                    "\r\n",
                                    CLog::_pKXLog);
        if (sendStatus != ERROR_NONE)
            KXLogWrite(CLog::_pKXLog, "%s(): error sending shutdown [%s]:%hu (%d)", who,
                       host.c_str(), port, sendStatus);
        // The server does not answer; closing is all that is left to do.
        KXSocketFree(&socket, CLog::_pKXLog);
        requested = true;
    });
    return requested;
}
