// Memory manager, string and number helpers, formatting and time stamps.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "baselib/kx_memory.h"
#include "baselib/kx_string.h"
#include "baselib/kx_time.h"

namespace {

TEST(MemoryManagerSys, HeapManagerLifecycle)
{
    KXMemoryManager* mm = nullptr;
    ASSERT_EQ(KXMemoryManagerSysNew(&mm), ERROR_NONE);
    EXPECT_EQ(KXMemoryManagerSysNew(&mm), ERROR_PARAMETER);  // handle already set
    void* block = mm->Realloc(mm, mm->Calloc(mm, 16, 4), 4096);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(mm->GetPtr(mm, mm->GetOffset(mm, block)), block);
    mm->Unalloc(mm, block);
    ASSERT_EQ(mm->Free(&mm), ERROR_NONE);
    EXPECT_EQ(mm, nullptr);
    EXPECT_EQ(KXMemoryManagerSysFree(&mm), ERROR_PARAMETER);
}

TEST(MemoryManagerSys, NamedBlocksAreAlwaysFreshAndReleasedByTheOnlyUser)
{
    KXMemoryManager* mm = nullptr;
    ASSERT_EQ(KXMemoryManagerSysNew(&mm), ERROR_NONE);
    int created = 0;
    void* first = mm->NamedMalloc(mm, 7, 32, &created);
    EXPECT_EQ(created, 1);
    created = 0;
    auto* second = static_cast<unsigned char*>(mm->NamedCalloc(mm, 7, 4, 8, &created));
    EXPECT_EQ(created, 1);
    EXPECT_NE(first, second);
    for (int i = 0; i < 32; i++)
        EXPECT_EQ(second[i], 0);
    int users = 5;
    EXPECT_EQ(mm->ReleaseName(mm, 7, &users), ERROR_NONE);
    EXPECT_EQ(users, 0);
    mm->Unalloc(mm, first);
    mm->Unalloc(mm, second);
    mm->Free(&mm);
}

int CallDestructor(void** element, ...)
{
    va_list args;
    va_start(args, element);
    int result = KXSimpleFreeDestructor(element, args);
    va_end(args);
    return result;
}

TEST(MemoryManagerSys, SimpleFreeDestructorClearsTheElement)
{
    void* element = malloc(10);
    EXPECT_EQ(CallDestructor(&element), 0);
    EXPECT_EQ(element, nullptr);
    EXPECT_EQ(CallDestructor(nullptr), 0);
}

struct ReplaceCase {
    const char* text;
    const char* pattern;
    const char* replacement;
    const char* expected;
    unsigned required;
};

TEST(StringReplace, GrowsShrinksAndReportsTheRequiredSize)
{
    char text[64] = "a-b-c";
    unsigned size = 6;
    EXPECT_EQ(KXStringReplace(text, &size, "-", "--"), ERROR_BUFFER_SIZE);
    EXPECT_EQ(size, 8u);
    EXPECT_STREQ(text, "a-b-c");
    EXPECT_EQ(KXStringReplace(text, &size, "-", "--"), ERROR_NONE);
    EXPECT_STREQ(text, "a--b--c");

    const ReplaceCase cases[] = {
        {"aaa", "aa", "b", "ba", 3},
        {"xyz", "q", "long", "xyz", 0},
        {"abcabc", "abc", "", "", 1},
        {"<p><p>", "<p>", "[para]", "[para][para]", 13},
    };
    for (const auto& c : cases) {
        char buffer[64];
        strcpy(buffer, c.text);
        unsigned exact = c.required == 0 ? 64 : c.required;
        if (c.required > 1) {
            unsigned tooSmall = c.required - 1;
            EXPECT_EQ(KXStringReplace(buffer, &tooSmall, c.pattern, c.replacement),
                      ERROR_BUFFER_SIZE)
                << c.text;
            EXPECT_EQ(tooSmall, c.required);
        }
        EXPECT_EQ(KXStringReplace(buffer, &exact, c.pattern, c.replacement), ERROR_NONE) << c.text;
        EXPECT_STREQ(buffer, c.expected);
    }

    unsigned any = 64;
    EXPECT_EQ(KXStringReplace(text, &any, "", "x"), ERROR_PARAMETER);
    EXPECT_EQ(KXStringReplace(text, &any, nullptr, "x"), ERROR_PARAMETER);
    EXPECT_EQ(KXStringReplace(text, nullptr, "a", "x"), ERROR_PARAMETER);
}

TEST(GetUIntFromString, SkipsSignsAndStopsAtTheTerminator)
{
    char text[] = "id=-42;x";
    char* cursor = text;
    int value = 0;
    ASSERT_EQ(KXGetUIntFromString(&cursor, &value), ERROR_NONE);
    EXPECT_EQ(value, 42);
    EXPECT_EQ(*cursor, ';');
    EXPECT_EQ(KXGetUIntFromString(&cursor, &value), ERROR_NO_NUMBER);
    EXPECT_EQ(*cursor, '\0');
    EXPECT_EQ(cursor, text + strlen(text));

    char several[] = "1.22.333";
    cursor = several;
    int values[3] = {};
    for (int& v : values)
        ASSERT_EQ(KXGetUIntFromString(&cursor, &v), ERROR_NONE);
    EXPECT_EQ(values[0], 1);
    EXPECT_EQ(values[1], 22);
    EXPECT_EQ(values[2], 333);

    char* none = nullptr;
    EXPECT_EQ(KXGetUIntFromString(&none, &value), ERROR_PARAMETER);
    cursor = several;
    EXPECT_EQ(KXGetUIntFromString(&cursor, nullptr), ERROR_PARAMETER);
}

TEST(FormatString, GrowsItsBufferExactlyPastTheFirstSize)
{
    for (size_t length : {0u, 8189u, 8190u, 8191u, 8192u, 20000u}) {
        std::string text(length, 'q');
        if (length > 0)
            text.back() = 'Z';  // the last character must survive
        char* out = nullptr;
        int produced = -1;
        ASSERT_EQ(KXFormatString(&out, &produced, "%s", text.c_str()), ERROR_NONE) << length;
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(produced, static_cast<int>(length));
        EXPECT_EQ(std::string(out), text) << length;
        free(out);
    }

    char* out = nullptr;
    EXPECT_EQ(KXFormatString(&out, nullptr, "%d-%s", 7, "x"), ERROR_NONE);
    EXPECT_STREQ(out, "7-x");
    EXPECT_EQ(KXFormatString(&out, nullptr, "again"), ERROR_PARAMETER);  // *out already set
    free(out);
    out = nullptr;
    const char* noFormat = nullptr;
    EXPECT_EQ(KXFormatString(&out, nullptr, noFormat), ERROR_PARAMETER);
}

TEST(HRTime, DiffBorrowsOnEqualMilliseconds)
{
    const HRTime start{10, 500};
    struct Case {
        HRTime end;
        int32_t seconds;
        uint16_t milliseconds;
    } cases[] = {
        {{12, 500}, 1, 1000},
        {{12, 700}, 2, 200},
        {{12, 100}, 1, 600},
    };
    for (const auto& c : cases) {
        HRTime diff{-1, 0};
        HRTimeDiff(&start, &c.end, &diff);
        EXPECT_EQ(diff.seconds, c.seconds);
        EXPECT_EQ(diff.milliseconds, c.milliseconds);
        EXPECT_EQ(diff.seconds * 1000 + diff.milliseconds,
                  (c.end.seconds - start.seconds) * 1000 + c.end.milliseconds - start.milliseconds);
    }
    HRTime untouched{3, 4};
    HRTimeDiff(nullptr, &start, &untouched);
    EXPECT_EQ(untouched.seconds, 3);
}

TEST(HRTime, HighResTimeAndSleepAgree)
{
    HRTime before, after, diff;
    HighResTime(&before);
    EXPECT_LT(before.milliseconds, 1000);
    auto t0 = std::chrono::steady_clock::now();
    SleepMilliseconds(1200);
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - t0)
                       .count();
    HighResTime(&after);
    HRTimeDiff(&before, &after, &diff);
    long total = diff.seconds * 1000L + diff.milliseconds;
    EXPECT_GE(elapsed, 1200);
    EXPECT_LT(elapsed, 3000);
    EXPECT_GE(total, 1190);
    EXPECT_LT(total, 3000);

    t0 = std::chrono::steady_clock::now();
    SleepMilliseconds(0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(50));
}

TEST(SafeFunctions, RefuseWhatDoesNotFitAndLeaveTheDestination)
{
    char destination[8] = "keep";
    EXPECT_EQ(strcpy_s(destination, 8, "12345678"), EINVAL);  // exactly size characters
    EXPECT_STREQ(destination, "keep");
    EXPECT_EQ(strcpy_s(destination, 8, "1234567"), 0);
    EXPECT_STREQ(destination, "1234567");
    EXPECT_EQ(strcpy_s(nullptr, 8, "x"), EINVAL);

    char joined[8] = "abc";
    EXPECT_EQ(strcat_s(joined, 8, "defgh"), EINVAL);  // 3 + 5 >= 8
    EXPECT_STREQ(joined, "abc");
    EXPECT_EQ(strcat_s(joined, 8, "defg"), 0);
    EXPECT_STREQ(joined, "abcdefg");
    char unterminated[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(strcat_s(unterminated, 4, ""), EINVAL);

    time_t when = 0;
    char small[25], exact[26];
    EXPECT_EQ(ctime_s(small, sizeof(small), &when), EINVAL);
    EXPECT_EQ(ctime_s(exact, sizeof(exact), &when), 0);
    EXPECT_EQ(strlen(exact), 25u);
    EXPECT_EQ(exact[24], '\n');
    EXPECT_EQ(ctime_s(exact, sizeof(exact), nullptr), EINVAL);

    char formatted[8];
    EXPECT_EQ(sprintf_s(formatted, sizeof(formatted), "%d-%s", 12, "ab"), 5);
    EXPECT_STREQ(formatted, "12-ab");
    char guarded[16];
    memset(guarded, '#', sizeof(guarded));
    EXPECT_EQ(sprintf_s(guarded, 8, "%s", "far too long"), -1);
    EXPECT_EQ(guarded[8], '#');  // nothing written past size
    EXPECT_EQ(sprintf_s(nullptr, 8, "x"), -1);

    struct tm local;
    EXPECT_EQ(localtime_s(&local, &when), 0);
}

}  // namespace
