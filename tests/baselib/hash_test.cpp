// KXHash: growth points, replacement, backward-shift deletion (also across
// the wrap from slot 0 to the last slot), slot-order iteration.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "baselib/kx_hash.h"
#include "baselib/kx_memory.h"
#include "baselib/kx_stringlist.h"

namespace {

class HashTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(KXMemoryManagerSysNew(&mm), ERROR_NONE);
        ASSERT_EQ(KXHashNew(&hash, mm), ERROR_NONE);
    }
    void TearDown() override
    {
        if (hash != nullptr) {
            EXPECT_EQ(KXHashFree(&hash, mm), ERROR_NONE);
        }
        mm->Free(&mm);
    }

    std::vector<std::string> Keys()
    {
        KXStringList* list = nullptr;
        EXPECT_EQ(KXStringListNew(&list), ERROR_NONE);
        EXPECT_EQ(KXHashKeys(hash, mm, list), ERROR_NONE);
        int size = 0;
        KXStringListSize(list, &size);
        std::vector<std::string> keys;
        KXStatus status;
        for (int i = 0; i < size; i++)
            keys.emplace_back(KXStringListElementAt(list, i, &status));
        KXStringListFree(&list);
        return keys;
    }

    // Keys "k<n>" grouped by their home slot in a table of `size` slots.
    static std::map<int, std::vector<std::string>> KeysByHome(int size, int wanted)
    {
        std::map<int, std::vector<std::string>> byHome;
        for (int n = 0; n < wanted * 400; n++) {
            std::string key = "k" + std::to_string(n);
            byHome[KXHashHomeSlot(key.c_str(), size)].push_back(key);
        }
        return byHome;
    }

    KXMemoryManager* mm = nullptr;
    KXHash* hash = nullptr;
    int values[4] = {0, 1, 2, 3};
};

int CountEntries(const char*, void*, va_list args)
{
    ++*va_arg(args, int*);
    return 0;
}

int StopAt(const char* key, void*, va_list args)
{
    return std::string(key) == va_arg(args, const char*) ? 7 : 0;
}

TEST_F(HashTest, FreshTableFindsNothing)
{
    KXStatus status = 99;
    EXPECT_EQ(KXHashGet(hash, mm, "a", &status), nullptr);
    EXPECT_EQ(status, ERROR_NONE);
    EXPECT_EQ(KXHashExists(hash, mm, "a"), 0);
    EXPECT_EQ(KXHashRemove(hash, mm, "a"), ERROR_NONE);
    EXPECT_TRUE(Keys().empty());
    int count = 0;
    EXPECT_EQ(KXHashForEach(hash, mm, CountEntries, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(hash->size, 0);
}

TEST_F(HashTest, SetGetReplaceAndCase)
{
    ASSERT_EQ(KXHashSet(hash, mm, "Key", &values[1]), ERROR_NONE);
    EXPECT_EQ(hash->size, 256);
    ASSERT_EQ(KXHashSet(hash, mm, "key", &values[2]), ERROR_NONE);
    KXStatus status;
    EXPECT_EQ(KXHashGet(hash, mm, "Key", &status), &values[1]);
    EXPECT_EQ(KXHashGet(hash, mm, "key", &status), &values[2]);
    EXPECT_EQ(KXHashGet(hash, mm, "KEY", &status), nullptr);
    EXPECT_EQ(status, ERROR_NONE);

    ASSERT_EQ(KXHashSet(hash, mm, "Key", &values[3]), ERROR_NONE);
    EXPECT_EQ(hash->count, 2);
    EXPECT_EQ(KXHashGet(hash, mm, "Key", &status), &values[3]);

    // A stored null element is present, unlike an absent key.
    ASSERT_EQ(KXHashSet(hash, mm, "nothing", nullptr), ERROR_NONE);
    EXPECT_EQ(KXHashExists(hash, mm, "nothing"), 1);
    EXPECT_EQ(KXHashGet(hash, mm, "nothing", &status), nullptr);

    EXPECT_EQ(KXHashSet(hash, mm, nullptr, &values[0]), ERROR_PARAMETER);
    EXPECT_EQ(KXHashGet(hash, mm, nullptr, &status), nullptr);
    EXPECT_EQ(status, ERROR_PARAMETER);
}

TEST_F(HashTest, GrowsBeforeTheInsertionAt231Entries)
{
    for (int i = 0; i < 230; i++)
        ASSERT_EQ(KXHashSet(hash, mm, ("key" + std::to_string(i)).c_str(), &values[0]),
                  ERROR_NONE);
    ASSERT_EQ(KXHashSet(hash, mm, "key230", &values[0]), ERROR_NONE);
    EXPECT_EQ(hash->size, 256);  // 230 < 230.4: no growth
    EXPECT_EQ(hash->count, 231);
    // Even replacing the element of an existing key grows the table first.
    ASSERT_EQ(KXHashSet(hash, mm, "key0", &values[1]), ERROR_NONE);
    EXPECT_EQ(hash->size, 512);
    EXPECT_EQ(hash->count, 231);
    KXStatus status;
    for (int i = 0; i < 231; i++)
        ASSERT_EQ(KXHashGet(hash, mm, ("key" + std::to_string(i)).c_str(), &status),
                  &values[i == 0 ? 1 : 0]);
}

TEST_F(HashTest, GrowthSequence)
{
    std::vector<int> sizes;
    for (int i = 0; i < 922; i++) {  // 921 < 921.6: still 1024 slots
        ASSERT_EQ(KXHashSet(hash, mm, ("g" + std::to_string(i)).c_str(), &values[0]),
                  ERROR_NONE);
        if (sizes.empty() || sizes.back() != hash->size)
            sizes.push_back(hash->size);
    }
    EXPECT_EQ(sizes, (std::vector<int>{256, 512, 1024}));
    ASSERT_EQ(KXHashSet(hash, mm, "one-more", &values[0]), ERROR_NONE);
    EXPECT_EQ(hash->size, 2048);
}

TEST_F(HashTest, RemoveShiftsARunBackAcrossTheWrap)
{
    auto byHome = KeysByHome(256, 4);
    ASSERT_GE(byHome[0].size(), 3u);
    ASSERT_GE(byHome[254].size(), 1u);
    const std::string x0 = byHome[0][0], x1 = byHome[0][1], x2 = byHome[0][2];
    const std::string y = byHome[254][0];

    // x0 takes slot 0, x1 wraps to 255, y sits at home 254, x2 runs on to 253.
    for (const std::string& key : {x0, x1, y, x2})
        ASSERT_EQ(KXHashSet(hash, mm, key.c_str(), &values[1]), ERROR_NONE);
    ASSERT_EQ(hash->size, 256);
    EXPECT_EQ(Keys(), (std::vector<std::string>{x0, x2, y, x1}));

    ASSERT_EQ(KXHashRemove(hash, mm, x0.c_str()), ERROR_NONE);
    EXPECT_EQ(hash->count, 3);
    // x1 moved back into slot 0, y stayed at home, x2 moved into 255.
    EXPECT_EQ(Keys(), (std::vector<std::string>{x1, y, x2}));
    for (const std::string& key : {x1, y, x2})
        EXPECT_EQ(KXHashExists(hash, mm, key.c_str()), 1) << key;
    EXPECT_EQ(KXHashExists(hash, mm, x0.c_str()), 0);
}

TEST_F(HashTest, RemoveFromTheMiddleOfARunKeepsTheRestReachable)
{
    auto byHome = KeysByHome(256, 5);
    ASSERT_GE(byHome[100].size(), 3u);
    ASSERT_GE(byHome[99].size(), 1u);
    ASSERT_GE(byHome[98].size(), 1u);
    const std::string a = byHome[100][0], b = byHome[100][1], c = byHome[100][2];
    const std::string d = byHome[99][0], e = byHome[98][0];
    // Slots: a 100, b 99, c 98, d 97, e 96.
    for (const std::string& key : {a, b, c, d, e})
        ASSERT_EQ(KXHashSet(hash, mm, key.c_str(), &values[2]), ERROR_NONE);
    ASSERT_EQ(KXHashRemove(hash, mm, b.c_str()), ERROR_NONE);
    // c moves to 99, d to 98, e to 97.
    EXPECT_EQ(Keys(), (std::vector<std::string>{e, d, c, a}));
    KXStatus status;
    for (const std::string& key : {a, c, d, e})
        EXPECT_EQ(KXHashGet(hash, mm, key.c_str(), &status), &values[2]) << key;
    EXPECT_EQ(KXHashRemove(hash, mm, b.c_str()), ERROR_NONE);  // absent: no change
    EXPECT_EQ(hash->count, 4);
}

TEST_F(HashTest, ManyInsertionsAndRemovalsStayConsistent)
{
    std::map<std::string, int*> model;
    unsigned seed = 12345;
    for (int step = 0; step < 6000; step++) {
        seed = seed * 1103515245u + 12345u;
        std::string key = "r" + std::to_string((seed >> 8) % 700);
        if ((seed >> 4) % 3 == 0) {
            ASSERT_EQ(KXHashRemove(hash, mm, key.c_str()), ERROR_NONE);
            model.erase(key);
        } else {
            int* value = &values[(seed >> 6) % 4];
            ASSERT_EQ(KXHashSet(hash, mm, key.c_str(), value), ERROR_NONE);
            model[key] = value;
        }
    }
    ASSERT_EQ(hash->count, static_cast<int>(model.size()));
    KXStatus status;
    for (const auto& [key, value] : model)
        ASSERT_EQ(KXHashGet(hash, mm, key.c_str(), &status), value) << key;
    for (int n = 0; n < 700; n++) {
        std::string key = "r" + std::to_string(n);
        ASSERT_EQ(KXHashExists(hash, mm, key.c_str()), model.count(key) ? 1 : 0) << key;
    }
}

TEST_F(HashTest, ForEachStopsAtNonZero)
{
    for (const char* key : {"a", "b", "c"})
        ASSERT_EQ(KXHashSet(hash, mm, key, &values[0]), ERROR_NONE);
    int count = 0;
    EXPECT_EQ(KXHashForEach(hash, mm, CountEntries, &count), 0);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(KXHashForEach(hash, mm, StopAt, "b"), 7);
    EXPECT_EQ(KXHashForEach(hash, mm, nullptr), ERROR_PARAMETER);
}

TEST_F(HashTest, ClearAndFreeElementsKeepsTheSlotArray)
{
    for (int i = 0; i < 300; i++)
        ASSERT_EQ(KXHashSet(hash, mm, ("f" + std::to_string(i)).c_str(), std::malloc(8)),
                  ERROR_NONE);
    ASSERT_EQ(KXHashClearAndFreeElements(hash, mm, KXSimpleFreeDestructor), ERROR_NONE);
    EXPECT_EQ(hash->count, 0);
    EXPECT_EQ(hash->size, 512);
    EXPECT_NE(hash->slotsOffset, 0u);
    EXPECT_TRUE(Keys().empty());
    ASSERT_EQ(KXHashSet(hash, mm, "again", &values[0]), ERROR_NONE);
    EXPECT_EQ(KXHashExists(hash, mm, "again"), 1);
}

}  // namespace
