// A worker thread for the object layer: started at construction, asked to
// stop and, after `timeout` milliseconds, cancelled at destruction.
#pragma once

#include "baselib/kx_thread.h"

class CKXThread {
public:
    // Throws CWIException with KXThreadNew's status when the thread cannot start.
    CKXThread(KXThreadFunction function, void* data);
    ~CKXThread();
    CKXThread(const CKXThread&) = delete;
    CKXThread& operator=(const CKXThread&) = delete;

    // Milliseconds the destructor waits before cancelling (default 10000;
    // 0 cancels at once, negative waits without limit).
    void setTimeout(int timeout) { this->timeout = timeout; }
    int getTimeout() const { return timeout; }
    KXThread* getHandle() const { return handle; }

private:
    KXThread* handle = nullptr;
    int timeout = 10000;
};
