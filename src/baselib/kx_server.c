/* Server endpoints with parked sockets and properties. The critical section
 * guards the parked list, the limit and the property hashes; host, port and
 * mss are set at creation (mss also by SetMSS) and read without it. Checks
 * and connects run outside the section, on sockets no other thread sees. */
#include "baselib/kx_server.h"

#include <netdb.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>

#include "baselib/kx_hostaddr.h"

static KXStatus Enter(KXServer *server, const char *function, KXLog *log)
{
    KXStatus status = server->cs->Enter(server->cs);

    if (status != ERROR_NONE)
        KXLogWrite(log, "%s(): error entering the critical section", function);
    return status;
}

/* Leaves the section; a failure to leave is returned only when nothing
 * failed before it. */
static KXStatus Leave(KXServer *server, const char *function, KXStatus status, KXLog *log)
{
    KXStatus left = server->cs->Leave(server->cs);

    if (left != ERROR_NONE) {
        KXLogWrite(log, "%s(): error leaving the critical section", function);
        if (status == ERROR_NONE)
            status = left;
    }
    return status;
}

int SocketDestructor(KXSocket **socket, va_list args)
{
    va_list copy;
    KXLog *log;

    /* A copy, so that the caller's list of arguments serves every element. */
    va_copy(copy, args);
    log = va_arg(copy, KXLog *);
    va_end(copy);
    return KXSocketFree(socket, log);
}

int KXServerListEntryDestructor(KXServer **server, va_list args)
{
    va_list copy;
    KXLog *log;

    va_copy(copy, args);
    log = va_arg(copy, KXLog *);
    va_end(copy);
    return KXServerFree(server, log);
}

/* The list hands out untyped element slots. */
static int ParkedSocketDestructor(void **element, va_list args)
{
    KXSocket *socket = *element;
    int result = SocketDestructor(&socket, args);

    *element = socket;
    return result;
}

/* Releases whatever a half-made endpoint holds; everything in it is empty. */
static void Discard(KXServer *server)
{
    if (server->cs != NULL)
        server->cs->Free(&server->cs);
    if (server->intProperties != NULL)
        KXHashFree(&server->intProperties, server->mm);
    if (server->stringProperties != NULL)
        KXHashFree(&server->stringProperties, server->mm);
    if (server->parked != NULL)
        KXListFree(&server->parked, server->mm);
    if (server->mm != NULL)
        server->mm->Free(&server->mm);
    free(server);
}

KXStatus KXServerNew(KXServer **server, const char *host, unsigned short port, KXLog *log)
{
    struct addrinfo *list = NULL, *chosen = NULL;
    KXServer *s;
    KXStatus status;

    /* The host lives in a fixed array; a longer text is refused rather
     * than cut into another host's name. */
    if (server == NULL || *server != NULL || host == NULL ||
        strlen(host) >= KX_SERVER_HOST_SIZE) {
        KXLogWrite(log, "KXServerNew(): wrong arguments passed to procedure");
        return ERROR_PARAMETER;
    }
    s = calloc(1, sizeof *s);
    if (s == NULL) {
        KXLogWrite(log, "KXServerNew(): allocating memory failed");
        return ERROR_MEMORY;
    }
    status = ResolveHostName(host, 0, &list, &chosen, IPPROTO_TCP, log);
    if (status != ERROR_NONE) {
        free(s);
        return status;
    }
    freeaddrinfo(list);
    strcpy(s->host, host);
    s->port = port;

    if ((status = KXMemoryManagerSysNew(&s->mm)) != ERROR_NONE) {
        KXLogWrite(log, "KXServerNew(): error creating local system-memory-manager");
    } else if ((status = KXListNew(&s->parked, s->mm)) != ERROR_NONE) {
        KXLogWrite(log, "KXServerNew(): error creating list of parked sockets");
    } else if ((status = KXHashNew(&s->stringProperties, s->mm)) != ERROR_NONE) {
        KXLogWrite(log, "KXServerNew(): error creating hash of string properties");
    } else if ((status = KXHashNew(&s->intProperties, s->mm)) != ERROR_NONE) {
        KXLogWrite(log, "KXServerNew(): error creating hash of integer properties");
    } else if ((status = KXCriticalSectionThreadNew(&s->cs)) != ERROR_NONE) {
        KXLogWrite(log, "KXServerNew(): error creating critical section");
    }
    if (status != ERROR_NONE) {
        Discard(s);
        return status;
    }
    s->maxParked = 0;
    s->mss = 0;
    *server = s;
    return ERROR_NONE;
}

KXStatus KXServerFree(KXServer **server, KXLog *log)
{
    KXServer *s;
    KXStatus status;

    if (server == NULL || *server == NULL) {
        KXLogWrite(log, "KXServerFree(): wrong arguments passed to procedure");
        return ERROR_PARAMETER;
    }
    s = *server;
    if ((status = KXListClearAndFreeElements(s->parked, s->mm, ParkedSocketDestructor, log)) !=
        ERROR_NONE) {
        KXLogWrite(log, "KXServerFree(): error clearing list of parked sockets");
        return status;
    }
    if ((status = KXHashClearAndFreeElements(s->stringProperties, s->mm, KXSimpleFreeDestructor,
                                             log)) != ERROR_NONE) {
        KXLogWrite(log, "KXServerFree(): error clearing hash of string properties");
        return status;
    }
    if ((status = KXHashClearAndFreeElements(s->intProperties, s->mm, KXSimpleFreeDestructor,
                                             log)) != ERROR_NONE) {
        KXLogWrite(log, "KXServerFree(): error clearing hash of integer properties");
        return status;
    }
    if ((status = KXListFree(&s->parked, s->mm)) != ERROR_NONE) {
        KXLogWrite(log, "KXServerFree(): unable to delete the list of parked sockets");
        return status;
    }
    if ((status = KXHashFree(&s->stringProperties, s->mm)) != ERROR_NONE) {
        KXLogWrite(log, "KXServerFree(): error destroying hash of string properties");
        return status;
    }
    if ((status = KXHashFree(&s->intProperties, s->mm)) != ERROR_NONE) {
        KXLogWrite(log, "KXServerFree(): error destroying hash of integer properties");
        return status;
    }
    if ((status = s->mm->Free(&s->mm)) != ERROR_NONE) {
        KXLogWrite(log, "KXServerFree(): unable to destroy the local system-memory-manager");
        return status;
    }
    if ((status = s->cs->Free(&s->cs)) != ERROR_NONE) {
        KXLogWrite(log, "KXServerFree(): unable to destroy the critical section");
        return status;
    }
    free(s);
    *server = NULL;
    return ERROR_NONE;
}

/* Takes one parked socket, chosen at random so that the kept connections
 * are used evenly; *taken stays null when none is parked. */
static KXStatus TakeParked(KXServer *server, KXSocket **taken, KXLog *log)
{
    KXSocket *socket = NULL;
    int count = 0, index;
    KXStatus status = Enter(server, "KXServerGetSocket", log);

    if (status != ERROR_NONE)
        return status;
    if ((status = KXListSize(server->parked, server->mm, &count)) != ERROR_NONE) {
        KXLogWrite(log, "KXServerGetSocket(): unable to detect number of parked sockets");
    } else if (count > 0) {
        index = rand() % count;
        socket = KXListElementAt(server->parked, server->mm, &status, index);
        if (status != ERROR_NONE) {
            KXLogWrite(log, "KXServerGetSocket(): unable to get socket from set of parked sockets");
            socket = NULL;
        } else if ((status = KXListRemoveAt(server->parked, server->mm, index)) != ERROR_NONE) {
            KXLogWrite(log,
                       "KXServerGetSocket(): unable to remove socket from set of parked sockets");
            socket = NULL;
        }
    }
    status = Leave(server, "KXServerGetSocket", status, log);
    if (status != ERROR_NONE && socket != NULL) {
        /* Out of the list but not handed out: nobody else would free it. */
        KXSocketFree(&socket, log);
    }
    *taken = socket;
    return status;
}

static KXStatus ConnectNew(KXServer *server, KXSocket **socket, int timeout, KXLog *log)
{
    struct addrinfo *list = NULL, *chosen = NULL;
    KXSocket *s = NULL;
    int family;
    KXStatus status;

    status = ResolveHostName(server->host, server->port, &list, &chosen, IPPROTO_TCP, log);
    if (status != ERROR_NONE)
        return status;
    family = chosen->ai_family;
    freeaddrinfo(list);

    if ((status = KXSocketNew(&s, family, log)) != ERROR_NONE)
        return status;
    if (server->mss != 0)
        status = KXSocketSetMSS(s, server->mss, log);
    if (status == ERROR_NONE)
        status = KXSocketConnect(s, server->host, server->port, timeout, log);
    if (status != ERROR_NONE) {
        KXSocketFree(&s, log);
        return status;
    }
    *socket = s;
    return ERROR_NONE;
}

KXStatus KXServerGetSocket(KXServer *server, KXSocket **socket, int timeout, KXLog *log)
{
    int failedChecks = 0;

    if (socket == NULL || server == NULL || *socket != NULL) {
        KXLogWrite(log, "KXServerGetSocket(): wrong arguments passed to procedure");
        return ERROR_PARAMETER;
    }
    for (;;) {
        KXSocket *parked = NULL;
        KXStatus status = TakeParked(server, &parked, log);

        if (status != ERROR_NONE)
            return status;
        if (parked == NULL)
            return ConnectNew(server, socket, timeout, log);
        status = KXSocketCheck(parked, log);
        if (status == ERROR_NONE) {
            *socket = parked;
            return ERROR_NONE;
        }
        KXSocketFree(&parked, log);
        if (failedChecks == KX_SERVER_CHECK_ATTEMPTS) {
            KXLogWrite(log, "KXServerGetSocket(): no usable socket found after %d tries",
                       KX_SERVER_CHECK_ATTEMPTS);
            return status;
        }
        failedChecks++;
    }
}

KXStatus KXServerParkSocket(KXServer *server, KXSocket **socket, KXLog *log)
{
    int count = 0;
    KXStatus status;

    if (socket == NULL || server == NULL || *socket == NULL) {
        KXLogWrite(log, "KXServerParkSocket(): wrong arguments passed to procedure");
        return ERROR_PARAMETER;
    }
    if ((status = Enter(server, "KXServerParkSocket", log)) != ERROR_NONE)
        return status;
    if ((status = KXListSize(server->parked, server->mm, &count)) != ERROR_NONE) {
        KXLogWrite(log, "KXServerParkSocket(): unable to detect number of parked sockets");
    } else if (server->maxParked != 0 && count >= server->maxParked) {
        /* Enough kept already: this one is simply closed. */
        KXSocketFree(socket, log);
    } else if ((status = KXListAdd(server->parked, server->mm, *socket)) != ERROR_NONE) {
        KXLogWrite(log, "KXServerParkSocket(): error adding socket to the set of parked sockets");
    } else {
        *socket = NULL;
    }
    return Leave(server, "KXServerParkSocket", status, log);
}

KXStatus KXServerSetMaxParked(KXServer *server, int maxParked, KXLog *log)
{
    int count = 0;
    KXStatus status;

    /* A negative limit has no meaning (0 already means none). */
    if (server == NULL || maxParked < 0) {
        KXLogWrite(log, "KXServerSetMaxParked(): wrong arguments passed to procedure");
        return ERROR_PARAMETER;
    }
    if ((status = Enter(server, "KXServerSetMaxParked", log)) != ERROR_NONE)
        return status;
    server->maxParked = maxParked;
    if (maxParked != 0) {
        if ((status = KXListSize(server->parked, server->mm, &count)) != ERROR_NONE)
            KXLogWrite(log, "KXServerSetMaxParked(): unable to detect the number of parked sockets");
        /* The most recently parked go first. */
        while (status == ERROR_NONE && count > maxParked) {
            KXSocket *socket = KXListElementAt(server->parked, server->mm, &status, count - 1);

            if (status != ERROR_NONE) {
                KXLogWrite(log,
                           "KXServerSetMaxParked(): unable to get socket from the set of parked "
                           "sockets");
            } else if ((status = KXListRemoveAt(server->parked, server->mm, count - 1)) !=
                       ERROR_NONE) {
                KXLogWrite(log,
                           "KXServerSetMaxParked(): unable to remove socket from the set of "
                           "parked sockets");
            } else {
                KXSocketFree(&socket, log);
                count--;
            }
        }
    }
    return Leave(server, "KXServerSetMaxParked", status, log);
}

KXStatus KXServerSetMSS(KXServer *server, int mss, KXLog *log)
{
    if (server == NULL) {
        KXLogWrite(log, "KXServerSetMSS(): wrong arguments passed to procedure");
        return ERROR_PARAMETER;
    }
    server->mss = mss;
    return ERROR_NONE;
}

KXStatus KXServerEqual(KXServer *a, KXServer *b, int *equal, KXLog *log)
{
    if (a == NULL || b == NULL || equal == NULL) {
        KXLogWrite(log, "KXServerEqual(): wrong arguments passed to procedure");
        return ERROR_PARAMETER;
    }
    *equal = strcmp(a->host, b->host) == 0 &&
             (a->port == b->port || a->port == 0 || b->port == 0);
    return ERROR_NONE;
}

KXStatus KXServerMatchHost(KXServer *server, const char *host, unsigned short port, int *match,
                           KXLog *log)
{
    if (host == NULL || server == NULL || match == NULL) {
        KXLogWrite(log, "KXServerMatchHost(): wrong arguments passed to procedure");
        return ERROR_PARAMETER;
    }
    *match = CompareHostAddr(host, server->host, log) == 0 &&
             (port == 0 || server->port == 0 || port == server->port);
    return ERROR_NONE;
}

KXStatus KXServerGetIP(KXServer *server, char *buffer, KXLog *log)
{
    if (server == NULL || buffer == NULL) {
        KXLogWrite(log, "KXServerGetIP(): wrong arguments passed to procedure");
        return ERROR_PARAMETER;
    }
    strcpy(buffer, server->host);
    return ERROR_NONE;
}

KXStatus KXServerGetPort(KXServer *server, unsigned short *port, KXLog *log)
{
    if (server == NULL || port == NULL) {
        KXLogWrite(log, "KXServerGetPort(): wrong arguments passed to procedure");
        return ERROR_PARAMETER;
    }
    *port = server->port;
    return ERROR_NONE;
}

/* Stores a heap element under name and frees the one it replaces, but only
 * once the new one is in: a failed store leaves the old value intact. */
static KXStatus StoreProperty(KXServer *server, KXHash *hash, const char *name, void *element,
                              const char *function, const char *kind, KXLog *log)
{
    void *old = NULL;
    KXStatus status = ERROR_NONE;

    if (KXHashExists(hash, server->mm, name) != 0) {
        old = KXHashGet(hash, server->mm, name, &status);
        if (status != ERROR_NONE) {
            KXLogWrite(log, "%s(): error getting value for key %s from the hash of %s properties",
                       function, name, kind);
            return status;
        }
    }
    if ((status = KXHashSet(hash, server->mm, name, element)) != ERROR_NONE) {
        KXLogWrite(log, "%s(): error adding a value to the hash of %s properties", function, kind);
        return status;
    }
    free(old);
    return ERROR_NONE;
}

KXStatus KXServerSetStringProperty(KXServer *server, const char *name, const char *value,
                                   KXLog *log)
{
    char *copy;
    KXStatus status;

    if (server == NULL || name == NULL || value == NULL) {
        KXLogWrite(log, "KXServerSetStringProperty(): wrong arguments passed to the procedure");
        return ERROR_PARAMETER;
    }
    if ((status = Enter(server, "KXServerSetStringProperty", log)) != ERROR_NONE)
        return status;
    copy = strdup(value);
    if (copy == NULL) {
        KXLogWrite(log,
                   "KXServerSetStringProperty(): unable to allocate memory to create a copy of "
                   "the value");
        status = ERROR_MEMORY;
    } else {
        status = StoreProperty(server, server->stringProperties, name, copy,
                               "KXServerSetStringProperty", "string", log);
        if (status != ERROR_NONE)
            free(copy);
    }
    return Leave(server, "KXServerSetStringProperty", status, log);
}

KXStatus KXServerGetStringProperty(KXServer *server, const char *name, char *buffer,
                                   unsigned size, KXLog *log)
{
    const char *value;
    KXStatus status;

    if (server == NULL || name == NULL || buffer == NULL || size == 0) {
        KXLogWrite(log, "KXServerGetStringProperty(): wrong arguments passed to the procedure");
        return ERROR_PARAMETER;
    }
    if ((status = Enter(server, "KXServerGetStringProperty", log)) != ERROR_NONE)
        return status;
    if (KXHashExists(server->stringProperties, server->mm, name) == 0) {
        status = ERROR_NOT_FOUND;
    } else {
        value = KXHashGet(server->stringProperties, server->mm, name, &status);
        if (status != ERROR_NONE) {
            KXLogWrite(log,
                       "KXServerGetStringProperty(): error getting value for the key %s from the "
                       "hash of string properties",
                       name);
        } else if (strlen(value) >= size) {
            status = ERROR_BUFFER_SIZE;
        } else {
            strcpy(buffer, value);
        }
    }
    return Leave(server, "KXServerGetStringProperty", status, log);
}

KXStatus KXServerSetIntProperty(KXServer *server, const char *name, int value, KXLog *log)
{
    int *copy;
    KXStatus status;

    if (server == NULL || name == NULL) {
        KXLogWrite(log, "KXServerSetIntProperty(): wrong arguments passed to the procedure");
        return ERROR_PARAMETER;
    }
    if ((status = Enter(server, "KXServerSetIntProperty", log)) != ERROR_NONE)
        return status;
    copy = malloc(sizeof *copy);
    if (copy == NULL) {
        KXLogWrite(log,
                   "KXServerSetIntProperty(): unable to allocate memory to create a copy of the "
                   "value");
        status = ERROR_MEMORY;
    } else {
        *copy = value;
        status = StoreProperty(server, server->intProperties, name, copy, "KXServerSetIntProperty",
                               "integer", log);
        if (status != ERROR_NONE)
            free(copy);
    }
    return Leave(server, "KXServerSetIntProperty", status, log);
}

KXStatus KXServerGetIntProperty(KXServer *server, const char *name, int *value, KXLog *log)
{
    const int *stored;
    KXStatus status;

    if (server == NULL || name == NULL || value == NULL) {
        KXLogWrite(log, "KXServerGetIntProperty(): wrong arguments passed to the procedure");
        return ERROR_PARAMETER;
    }
    if ((status = Enter(server, "KXServerGetIntProperty", log)) != ERROR_NONE)
        return status;
    if (KXHashExists(server->intProperties, server->mm, name) == 0) {
        status = ERROR_NOT_FOUND;
    } else {
        stored = KXHashGet(server->intProperties, server->mm, name, &status);
        if (status != ERROR_NONE)
            KXLogWrite(log,
                       "KXServerGetIntProperty(): error getting the value for the key %s from "
                       "the hash of integer properties",
                       name);
        else
            *value = *stored;
    }
    return Leave(server, "KXServerGetIntProperty", status, log);
}

static KXStatus PropertyNames(KXServer *server, KXHash *hash, KXStringList *names,
                              const char *function, const char *failure, KXLog *log)
{
    KXStatus status;

    if (server == NULL || names == NULL) {
        KXLogWrite(log, "%s(): wrong arguments passed to the procedure", function);
        return ERROR_PARAMETER;
    }
    if ((status = Enter(server, function, log)) != ERROR_NONE)
        return status;
    if ((status = KXHashKeys(hash, server->mm, names)) != ERROR_NONE)
        KXLogWrite(log, "%s(): %s", function, failure);
    return Leave(server, function, status, log);
}

KXStatus KXServerGetStringProperties(KXServer *server, KXStringList *names, KXLog *log)
{
    return PropertyNames(server, server != NULL ? server->stringProperties : NULL, names,
                         "KXServerGetStringProperties",
                         "error getting all names of string properties", log);
}

KXStatus KXServerGetIntProperties(KXServer *server, KXStringList *names, KXLog *log)
{
    return PropertyNames(server, server != NULL ? server->intProperties : NULL, names,
                         "KXServerGetIntProperties",
                         "error getting all names of integer properties", log);
}
