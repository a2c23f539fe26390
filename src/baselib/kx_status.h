/* Status codes of the base library. Every KX function returns one; 0 is
 * success. The numbers appear in log lines and are part of the external
 * behaviour, so they must never be renumbered. */
#ifndef KX_STATUS_H
#define KX_STATUS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t KXStatus;

enum {
    ERROR_NONE = 0,
    ERROR_GENERAL = 1,
    ERROR_MEMORY = 2,
    ERROR_INDEX = 3,
    ERROR_STATE = 4,
    ERROR_PARAMETER = 5,
    ERROR_BUFFER_SIZE = 6,
    ERROR_HOSTNAME = 7,
    ERROR_NO_NUMBER = 8,
    ERROR_NOT_FOUND = 9,
    ERROR_NAMEINFO = 10,
    ERROR_ADDRINFO = 11,
    ERROR_ADDRESS_FAMILY = 12,
    ERROR_THREAD_CREATE = 15000,
    ERROR_SOCKET_UNUSABLE = 30000,
    ERROR_SOCKET_CREATE = 30001,
    ERROR_SOCKET_CONNECT = 30002,
    ERROR_SOCKET_SEND = 30003,
    ERROR_SOCKET_RECEIVE = 30004,
    ERROR_SOCKET_FLAGS = 30006,
    ERROR_SOCKET_OPTION = 30007,
    ERROR_SOCKET_TIMEOUT = 30008,
    ERROR_SOCKET_CLOSED = 30009,
    ERROR_SOCKET_LISTEN = 30010,
    ERROR_SOCKET_ACCEPT = 30011,
    ERROR_INIFILE_SECTION = 40001,
    ERROR_INIFILE_KEY = 40002,
    ERROR_INIFILE_CONVERT = 40003,
    ERROR_FILE = 50000,
    ERROR_FILE_OPEN = 50001,
    ERROR_FILE_TYPE = 50002, /* not a regular file */
    ERROR_FILE_IO = 50007,
    ERROR_FILE_EOF = 50008
};

#ifdef __cplusplus
}
#endif

#endif
