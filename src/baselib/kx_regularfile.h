/* Opening a file that must be a regular file, for reading, without ever
 * blocking in open(): a FIFO or a device put at a configuration path is
 * refused instead of stalling the caller. */
#ifndef KX_REGULARFILE_H
#define KX_REGULARFILE_H

#include "baselib/kx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Opens path read-only and close-on-exec into *descriptor, which the caller
 * owns and closes; reads on it block as usual. ERROR_FILE_OPEN with errno
 * telling why when open() or fstat() fails; ERROR_FILE_TYPE (errno EINVAL)
 * when path is not a regular file; ERROR_PARAMETER for a null argument. */
KXStatus KXOpenRegularFile(const char *path, int *descriptor);

/* For a descriptor just opened with O_NONBLOCK (so that a FIFO could not
 * hold open()): ERROR_NONE when it is a regular file, now blocking again as
 * usual; otherwise fd is closed and the result is ERROR_FILE_TYPE (errno
 * EINVAL) for what is not a regular file, or ERROR_FILE_OPEN with errno
 * when fstat() or fcntl() failed. Async-signal-safe. */
KXStatus KXKeepRegularFile(int fd);

#ifdef __cplusplus
}
#endif

#endif
