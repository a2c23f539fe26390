#include "foundation/KXThread.h"

#include "foundation/Exceptions.h"

CKXThread::CKXThread(KXThreadFunction function, void* data)
{
    KXStatus status = KXThreadNew(&mHandle, function, data);
    if (status != ERROR_NONE)
        throw CWIException(status, "CKXThread::CKXThread(): KXThreadNew() failed");
}

CKXThread::~CKXThread()
{
    if (mHandle != nullptr)
        KXThreadFree(&mHandle, mTimeout);
}
