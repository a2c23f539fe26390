// Object wrapper over KXStringList for the foundation classes: owns one
// string list and turns failing statuses into CWIException.
#pragma once

#include "baselib/kx_stringlist.h"

class CKXStringList {
public:
    CKXStringList();
    ~CKXStringList();
    CKXStringList(const CKXStringList&) = delete;
    CKXStringList& operator=(const CKXStringList&) = delete;

    int size() const;
    // The stored string itself; valid until the list changes.
    const char* elementAt(int index) const;

    // For handing the list to C-style functions that fill it.
    KXStringList* handle() const { return mList; }
    operator KXStringList*() const { return mList; }

private:
    KXStringList* mList = nullptr;
};
