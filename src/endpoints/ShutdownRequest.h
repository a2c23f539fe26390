// The request that asks one application server to shut itself down.
#pragma once

#include <string>

#include "baselib/kx_status.h"

// Connects to host:port (the local host's primary address when host is
// empty; `host` is then set to it) within 10 s and sends the shutdown request. True when it was sent
// (`sendStatus` then holds the send's status, ERROR_NONE or the failure that
// was logged); false when no connection came about (logged with the name
// `who`). Never throws; blocks up to the connect time-out and the resolver.
bool SendShutdownRequest(const char* who, std::string& host, unsigned short port,
                         KXStatus& sendStatus);
