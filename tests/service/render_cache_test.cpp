// The status page's cache: however many readers, one render per second.
#include <gtest/gtest.h>

#include "service/ServiceStatusPage.h"

namespace {

TEST(RenderCache, RendersAtMostOncePerMaxAge)
{
    int renders = 0;
    CRenderCache cache([&] { return "page " + std::to_string(++renders); });
    const auto t0 = CRenderCache::Clock::now();
    using std::chrono::milliseconds;
    EXPECT_EQ(cache.text(t0), "page 1");
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(cache.text(t0 + milliseconds(i * 9)), "page 1");
    EXPECT_EQ(cache.text(t0 + milliseconds(1000)), "page 2");
    EXPECT_EQ(cache.text(t0 + milliseconds(1500)), "page 2");
    // A clock that went back does not keep an old text for ever.
    EXPECT_EQ(cache.text(t0), "page 3");
    EXPECT_EQ(renders, 3);
}

}  // namespace
