// KXList and KXStringList: growth and shrink steps, index rules, search,
// destructor order, string ownership.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "baselib/kx_list.h"
#include "baselib/kx_memory.h"
#include "baselib/kx_stringlist.h"

namespace {

class ListTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(KXMemoryManagerSysNew(&mm), ERROR_NONE);
        ASSERT_EQ(KXListNew(&list, mm), ERROR_NONE);
        for (size_t i = 0; i < sizeof(items) / sizeof(items[0]); i++)
            items[i] = static_cast<int>(i);
    }
    void TearDown() override
    {
        if (list != nullptr) {
            EXPECT_EQ(KXListFree(&list, mm), ERROR_NONE);
        }
        mm->Free(&mm);
    }
    void Fill(int count)
    {
        for (int i = 0; i < count; i++)
            ASSERT_EQ(KXListAdd(list, mm, &items[i]), ERROR_NONE);
    }

    KXMemoryManager* mm = nullptr;
    KXList* list = nullptr;
    int items[200];
};

int IsEven(void* element, va_list)
{
    return *static_cast<int*>(element) % 2 == 0;
}

int GreaterThan(void* element, va_list args)
{
    return *static_cast<int*>(element) > va_arg(args, int);
}

int RecordAndFail(void** element, va_list args)
{
    auto* order = va_arg(args, std::vector<int>*);
    int failAt = va_arg(args, int);
    int value = **reinterpret_cast<int**>(element);
    order->push_back(value);
    return value == failAt ? 42 : 0;
}

TEST_F(ListTest, GrowsInStepsOf32)
{
    Fill(32);
    EXPECT_EQ(list->capacity, 32);
    ASSERT_EQ(KXListAdd(list, mm, &items[32]), ERROR_NONE);
    EXPECT_EQ(list->capacity, 64);
    Fill(64);  // 33 + 64 = 97 elements: the 65th grew it to 96, the 97th to 128
    EXPECT_EQ(list->count, 97);
    EXPECT_EQ(list->capacity, 128);
}

TEST_F(ListTest, ShrinksOnlyWhenMoreThan64SlotsAreFree)
{
    Fill(160);
    ASSERT_EQ(list->capacity, 160);
    while (list->count > 0) {
        ASSERT_EQ(KXListRemoveAt(list, mm, list->count - 1), ERROR_NONE);
        int count = list->count;
        int expected = count <= 31 ? 64 : count <= 63 ? 96 : count <= 95 ? 128 : 160;
        ASSERT_EQ(list->capacity, expected) << "count " << count;
    }
    EXPECT_EQ(list->capacity, 64);  // never below two steps by removal
}

TEST_F(ListTest, RemovalKeepsOrderAndShiftsDown)
{
    Fill(5);
    ASSERT_EQ(KXListRemoveAt(list, mm, 1), ERROR_NONE);
    KXStatus status;
    std::vector<int> values;
    for (int i = 0; i < list->count; i++)
        values.push_back(*static_cast<int*>(KXListElementAt(list, mm, &status, i)));
    EXPECT_EQ(values, (std::vector<int>{0, 2, 3, 4}));
    EXPECT_EQ(KXListRemoveAt(list, mm, 4), ERROR_INDEX);
    EXPECT_EQ(KXListRemoveAt(list, mm, -1), ERROR_INDEX);
    EXPECT_EQ(KXListRemove(list, mm, &items[3]), ERROR_NONE);
    EXPECT_EQ(KXListRemove(list, mm, &items[3]), ERROR_NOT_FOUND);
    EXPECT_EQ(list->count, 3);
}

TEST_F(ListTest, InsertAtNeedsAnExistingIndex)
{
    EXPECT_EQ(KXListInsertAt(list, mm, &items[0], 0), ERROR_INDEX);
    Fill(2);
    EXPECT_EQ(KXListInsertAt(list, mm, &items[9], 2), ERROR_INDEX);
    EXPECT_EQ(KXListInsertAt(list, mm, &items[9], -1), ERROR_INDEX);
    ASSERT_EQ(KXListInsertAt(list, mm, &items[9], 0), ERROR_NONE);
    KXStatus status;
    EXPECT_EQ(KXListElementAt(list, mm, &status, 0), &items[9]);
    EXPECT_EQ(KXListElementAt(list, mm, &status, 1), &items[0]);
    EXPECT_EQ(KXListElementAt(list, mm, &status, 3), nullptr);
    EXPECT_EQ(status, ERROR_INDEX);
}

TEST_F(ListTest, InsertAtGrowsAFullList)
{
    Fill(32);
    ASSERT_EQ(KXListInsertAt(list, mm, &items[99], 31), ERROR_NONE);
    EXPECT_EQ(list->capacity, 64);
    KXStatus status;
    EXPECT_EQ(KXListElementAt(list, mm, &status, 31), &items[99]);
    EXPECT_EQ(KXListElementAt(list, mm, &status, 32), &items[31]);
}

TEST_F(ListTest, FindReturnsTheLowerIndex)
{
    Fill(3);
    ASSERT_EQ(KXListAdd(list, mm, &items[1]), ERROR_NONE);
    int index = 7;
    EXPECT_EQ(KXListFind(list, mm, &items[1], &index), ERROR_NONE);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(KXListFind(list, mm, &items[50], &index), ERROR_NOT_FOUND);
    EXPECT_EQ(index, -1);
}

TEST_F(ListTest, SearchesFromStartAndPassArguments)
{
    int index = 5;
    EXPECT_EQ(KXListFirstThat(list, mm, IsEven, &index), ERROR_NONE);
    EXPECT_EQ(index, -1);
    Fill(10);
    EXPECT_EQ(KXListFirstThat(list, mm, GreaterThan, &index, 6), ERROR_NONE);
    EXPECT_EQ(index, 7);
    EXPECT_EQ(KXListNextThat(list, mm, 3, IsEven, &index), ERROR_NONE);
    EXPECT_EQ(index, 4);
    EXPECT_EQ(KXListNextThat(list, mm, 10, IsEven, &index), ERROR_NONE);
    EXPECT_EQ(index, -1);
    EXPECT_EQ(KXListNextThat(list, mm, -1, IsEven, &index), ERROR_PARAMETER);
    // ForEach stops at the first non-zero result and returns it.
    EXPECT_EQ(KXListForEach(list, mm, GreaterThan, 8), 1);
    EXPECT_EQ(KXListForEach(list, mm, GreaterThan, 100), 0);
}

TEST_F(ListTest, ClearAndFreeElementsGoesFromLastToFirst)
{
    Fill(4);
    std::vector<int> order;
    EXPECT_EQ(KXListClearAndFreeElements(list, mm, RecordAndFail, &order, 1), 42);
    EXPECT_EQ(order, (std::vector<int>{3, 2, 1}));
    // The destroyed elements are gone; the one that failed and those before it stay.
    EXPECT_EQ(list->count, 2);
    order.clear();
    EXPECT_EQ(KXListClearAndFreeElements(list, mm, RecordAndFail, &order, -1), ERROR_NONE);
    EXPECT_EQ(order, (std::vector<int>{1, 0}));
    EXPECT_EQ(list->count, 0);
    EXPECT_EQ(list->capacity, 0);
    EXPECT_EQ(list->arrayOffset, 0u);
}

TEST_F(ListTest, ClearAndFreeElementsWithHeapElements)
{
    for (int i = 0; i < 40; i++)
        ASSERT_EQ(KXListAdd(list, mm, std::malloc(16)), ERROR_NONE);
    EXPECT_EQ(KXListClearAndFreeElements(list, mm, KXSimpleFreeDestructor), ERROR_NONE);
    EXPECT_EQ(list->count, 0);
}

// ---- string lists ----

class StringListTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(KXStringListNew(&list), ERROR_NONE); }
    void TearDown() override
    {
        if (list != nullptr) {
            EXPECT_EQ(KXStringListFree(&list), ERROR_NONE);
        }
    }
    KXStringList* list = nullptr;
};

int HasPrefix(void* element, va_list args)
{
    const char* prefix = va_arg(args, const char*);
    return std::strncmp(static_cast<char*>(element), prefix, std::strlen(prefix)) == 0;
}

TEST_F(StringListTest, StoresCopiesAndHandsOutTheStoredOne)
{
    char buffer[] = "alpha";
    ASSERT_EQ(KXStringListAdd(list, buffer), ERROR_NONE);
    buffer[0] = 'X';
    KXStatus status;
    char* stored = KXStringListElementAt(list, 0, &status);
    ASSERT_EQ(status, ERROR_NONE);
    EXPECT_STREQ(stored, "alpha");
    EXPECT_EQ(KXStringListElementAt(list, 0, &status), stored);
    EXPECT_EQ(KXStringListAdd(list, nullptr), ERROR_PARAMETER);
    EXPECT_EQ(KXStringListAdd(nullptr, "x"), ERROR_PARAMETER);
}

TEST_F(StringListTest, InsertRemoveAndClear)
{
    for (const char* text : {"a", "c", "d"})
        ASSERT_EQ(KXStringListAdd(list, text), ERROR_NONE);
    ASSERT_EQ(KXStringListInsertAt(list, "b", 1), ERROR_NONE);
    EXPECT_EQ(KXStringListInsertAt(list, "e", 4), ERROR_INDEX);
    ASSERT_EQ(KXStringListRemoveAt(list, 2), ERROR_NONE);
    EXPECT_EQ(KXStringListRemoveAt(list, 3), ERROR_INDEX);
    int size = 0;
    ASSERT_EQ(KXStringListSize(list, &size), ERROR_NONE);
    ASSERT_EQ(size, 3);
    KXStatus status;
    std::string joined;
    for (int i = 0; i < size; i++)
        joined += KXStringListElementAt(list, i, &status);
    EXPECT_EQ(joined, "abd");
    for (int i = 0; i < 100; i++)
        ASSERT_EQ(KXStringListAdd(list, "many"), ERROR_NONE);
    ASSERT_EQ(KXStringListClear(list), ERROR_NONE);
    ASSERT_EQ(KXStringListSize(list, &size), ERROR_NONE);
    EXPECT_EQ(size, 0);
}

TEST_F(StringListTest, SearchFromStartSkipsTheFirstStrings)
{
    for (const char* text : {"apple", "avocado", "banana", "apricot"})
        ASSERT_EQ(KXStringListAdd(list, text), ERROR_NONE);
    int index = 0;
    ASSERT_EQ(KXStringListFirstThat(list, HasPrefix, &index, "a"), ERROR_NONE);
    EXPECT_EQ(index, 0);
    ASSERT_EQ(KXStringListNextThat(list, 2, HasPrefix, &index, "a"), ERROR_NONE);
    EXPECT_EQ(index, 3);
    EXPECT_EQ(KXStringListNextThat(list, -1, HasPrefix, &index, "a"), ERROR_PARAMETER);
    EXPECT_EQ(KXStringListFirstThat(list, nullptr, &index), ERROR_PARAMETER);
    EXPECT_EQ(KXStringListForEach(list, HasPrefix, "b"), 1);
}

TEST(StringListLifecycle, FreeNullsTheHandleAndRefusesTwice)
{
    KXStringList* list = nullptr;
    ASSERT_EQ(KXStringListNew(&list), ERROR_NONE);
    KXStringList* again = list;
    EXPECT_EQ(KXStringListNew(&again), ERROR_PARAMETER);
    ASSERT_EQ(KXStringListAdd(list, "x"), ERROR_NONE);
    ASSERT_EQ(KXStringListFree(&list), ERROR_NONE);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(KXStringListFree(&list), ERROR_PARAMETER);
}

}  // namespace
