// The items of a KXStringList, in order, for comparing in tests.
#pragma once

#include <string>
#include <vector>

#include "baselib/kx_stringlist.h"

inline std::vector<std::string> StringListItems(KXStringList* list)
{
    int size = 0;
    KXStringListSize(list, &size);
    std::vector<std::string> items;
    KXStatus status;
    for (int i = 0; i < size; i++)
        items.emplace_back(KXStringListElementAt(list, i, &status));
    return items;
}
