#include "foundation/KXServer.h"

#include "foundation/Exceptions.h"
#include "foundation/Log.h"

CKXServer::CKXServer(const char* host, unsigned short port)
{
    KXStatus status = KXServerNew(&mServer, host, port, CLog::_pKXLog);
    if (status != ERROR_NONE)
        throw CWIException(status, "CKXServer::CKXServer(): KXServerNew() failed");
}

CKXServer::~CKXServer()
{
    if (mServer != nullptr)
        KXServerFree(&mServer, CLog::_pKXLog);
}

KXSocket* CKXServer::getSocket(int timeout)
{
    KXSocket* socket = nullptr;
    KXStatus status = KXServerGetSocket(mServer, &socket, timeout, CLog::_pKXLog);
    if (status != ERROR_NONE)
        throw CWIException(status, "CKXServer::getSocket(): KXServerGetSocket() failed");
    return socket;
}
