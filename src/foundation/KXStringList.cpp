#include "foundation/KXStringList.h"

#include "foundation/Exceptions.h"

CKXStringList::CKXStringList()
{
    KXStatus status = KXStringListNew(&mList);
    if (status != ERROR_NONE)
        throw CWIException(status, "CKXStringList::CStringList(): KXStringListNew() failed");
}

CKXStringList::~CKXStringList()
{
    if (mList != nullptr)
        KXStringListFree(&mList);
}

int CKXStringList::size() const
{
    int size = 0;
    KXStatus status = KXStringListSize(mList, &size);
    if (status != ERROR_NONE)
        throw CWIException(status, "CKXStringList::size(): KXStringListSize() failed");
    return size;
}

const char* CKXStringList::elementAt(int index) const
{
    KXStatus status = ERROR_NONE;
    const char* text = KXStringListElementAt(mList, index, &status);
    if (status != ERROR_NONE)
        throw CWIException(status, "CKXStringList::elementAt(): KXStringListElementAt() failed");
    return text;
}
