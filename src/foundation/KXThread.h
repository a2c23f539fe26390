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
    void setTimeout(int timeout) { mTimeout = timeout; }
    int getTimeout() const { return mTimeout; }
    KXThread* getHandle() const { return mHandle; }

private:
    KXThread* mHandle = nullptr;
    int mTimeout = 10000;
};
