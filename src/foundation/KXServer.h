// Object wrapper of a server endpoint (baselib/kx_server.h): failures of the
// base library become CWIException carrying their status.
#pragma once

#include "baselib/kx_server.h"

class CKXServer {
public:
    // Throws CWIException "CKXServer::CKXServer(): KXServerNew() failed".
    CKXServer(const char* host, unsigned short port);
    ~CKXServer();
    CKXServer(const CKXServer&) = delete;
    CKXServer& operator=(const CKXServer&) = delete;

    // A connected socket that now belongs to the caller; timeout is the
    // connect time-out in seconds. Throws CWIException
    // "CKXServer::getSocket(): KXServerGetSocket() failed".
    KXSocket* getSocket(int timeout);

    KXServer* handle() const { return mServer; }

private:
    KXServer* mServer = nullptr;
};
