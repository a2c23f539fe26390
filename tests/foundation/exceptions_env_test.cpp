// Exception messages and the environment accessors.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/EnvVars.h"
#include "foundation/Exceptions.h"

namespace {

TEST(Exceptions, WIExceptionMessageEndsInTheStatus)
{
    CWIException e(5, "%s%c", "ab", 'c');
    EXPECT_STREQ(e.what(), "abc (status=5)");
    EXPECT_EQ(e.getStatus(), 5);

    const char* none = nullptr;
    CWIException null(1, none);
    EXPECT_STREQ(null.what(), "NULL pointer passed to CWIException()");
    EXPECT_EQ(null.getStatus(), 1);

    CWIException negative(-7, "x");
    EXPECT_STREQ(negative.what(), "x (status=-7)");
}

TEST(Exceptions, WIExceptionKeepsTheFirst8191Characters)
{
    std::string text(10000, 't');
    text[8190] = 'L';  // the last character kept
    CWIException e(50007, "%s", text.c_str());
    EXPECT_EQ(std::string(e.what()), text.substr(0, 8191) + " (status=50007)");
}

TEST(Exceptions, LimitedCarriesKeyAndText)
{
    CWIExceptionLimited e(30002, "connect:1.2.3.4", "connecting failed", "cannot connect to %s",
                          "1.2.3.4");
    EXPECT_STREQ(e.what(), "cannot connect to 1.2.3.4 (status=30002)");
    EXPECT_STREQ(e.getLimitKey(), "connect:1.2.3.4");
    EXPECT_STREQ(e.getLimitText(), "connecting failed");
    EXPECT_EQ(e.getStatus(), 30002);

    const char* none = nullptr;
    CWIExceptionLimited noKey(1, none, "t", "x");
    EXPECT_STREQ(noKey.what(), "NULL pointer passed to CWIExceptionLimited()");
    EXPECT_STREQ(noKey.getLimitKey(), "");
    CWIExceptionLimited noFormat(1, "k", none, none);
    EXPECT_STREQ(noFormat.what(), "NULL pointer passed to CWIExceptionLimited()");
    EXPECT_STREQ(noFormat.getLimitText(), "");

    // Catchers take the limited one before its base.
    try {
        throw CWIExceptionLimited(4, "k", "t", "state");
    } catch (CWIException& caught) {
        EXPECT_NE(dynamic_cast<CWIExceptionLimited*>(&caught), nullptr);
        EXPECT_STREQ(caught.what(), "state (status=4)");
    }
}

TEST(Exceptions, SocketExceptionUsesTheSystemText)
{
    CSocketException bare(111);
    EXPECT_EQ(std::string(bare.what()), strerror(111));
    EXPECT_EQ(bare.getError(), 111);

    CSocketException prefixed("www.example.invalid", 110);
    EXPECT_EQ(std::string(prefixed.what()), std::string("www.example.invalid: ") + strerror(110));

    errno = ECONNRESET;
    CSocketException fromErrno("peer");
    EXPECT_EQ(fromErrno.getError(), ECONNRESET);
    EXPECT_EQ(std::string(fromErrno.what()), std::string("peer: ") + strerror(ECONNRESET));
    errno = EPIPE;
    CSocketException plain;
    EXPECT_EQ(plain.getError(), EPIPE);
    EXPECT_EQ(std::string(plain.what()), strerror(EPIPE));
    errno = EACCES;
    EXPECT_EQ(CSocketException::GetLastSocketError(), EACCES);

    CSocketException unknown(123456);
    EXPECT_NE(std::string(unknown.what()).find("123456"), std::string::npos);
}

constexpr const char* kName = "TARVEL_TEST_ENV_VARIABLE";

class EnvTest : public ::testing::Test {
protected:
    void SetUp() override { unsetenv(kName); }
    void TearDown() override { unsetenv(kName); }
};

TEST_F(EnvTest, GetDistinguishesEmptyFromUnset)
{
    setenv(kName, "", 1);
    EXPECT_EQ(CEnvVars::get(kName), "");
    unsetenv(kName);
    try {
        CEnvVars::get(kName);
        FAIL() << "no exception";
    } catch (CWIException& e) {
        EXPECT_EQ(e.getStatus(), ERROR_GENERAL);
        EXPECT_EQ(std::string(e.what()),
                  std::string("Environment variable '") + kName + "' not found (status=1)");
    }
    try {
        CEnvVars::get(nullptr);
        FAIL() << "no exception";
    } catch (CWIException& e) {
        EXPECT_EQ(e.getStatus(), ERROR_PARAMETER);
        EXPECT_STREQ(e.what(), "CEnvVars::get(): no varName supplied (status=5)");
    }
}

TEST_F(EnvTest, SetAndUnset)
{
    CEnvVars::set(kName, "value");
    EXPECT_STREQ(getenv(kName), "value");
    CEnvVars::set(kName, "");
    ASSERT_NE(getenv(kName), nullptr);
    EXPECT_STREQ(getenv(kName), "");
    CEnvVars::unset(kName);
    EXPECT_EQ(getenv(kName), nullptr);
    CEnvVars::unset(kName);  // no complaint

    try {
        CEnvVars::set("", "x");
        FAIL() << "no exception";
    } catch (CWIException& e) {
        EXPECT_EQ(e.getStatus(), ERROR_PARAMETER);
        EXPECT_STREQ(e.what(), "CEnvVars::set(): no varName supplied (status=5)");
    }
    CEnvVars::set("A=B", "x");  // refused by the system, not reported
}

TEST_F(EnvTest, ScopedChangeRestoresThePreviousState)
{
    setenv(kName, "a", 1);
    {
        CScopedEnvChange change(kName, "b", true);
        EXPECT_STREQ(getenv(kName), "ab");
        {
            CScopedEnvChange inner(kName, "c", false);
            EXPECT_STREQ(getenv(kName), "c");
        }
        EXPECT_STREQ(getenv(kName), "ab");
    }
    EXPECT_STREQ(getenv(kName), "a");

    unsetenv(kName);
    {
        CScopedEnvChange change(kName, "b", true);
        EXPECT_STREQ(getenv(kName), "b");
    }
    EXPECT_EQ(getenv(kName), nullptr);  // unset again, not empty

    setenv(kName, "", 1);
    {
        CScopedEnvChange change(kName, "x", false);
        EXPECT_STREQ(getenv(kName), "x");
    }
    ASSERT_NE(getenv(kName), nullptr);
    EXPECT_STREQ(getenv(kName), "");

    EXPECT_THROW(CScopedEnvChange("", "x", false), CWIException);
}

}  // namespace
