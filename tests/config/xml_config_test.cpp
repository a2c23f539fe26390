#include <gtest/gtest.h>

#include <sys/stat.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "common/test_util.h"
#include "config/XMLConfig.h"
#include "foundation/EnvVars.h"
#include "foundation/Exceptions.h"

namespace {

using namespace XMLConfig;

std::string dataFile(const std::string& name)
{
    return std::string(TARVEL_TEST_DATA) + "/config/data/" + name;
}

// The message of the load's CException, "" when it loads.
std::string loadError(CConfigFile& file, const std::string& path)
{
    try {
        file.loadFile(path.c_str());
    } catch (const CException& e) {
        return e.what();
    }
    return "";
}

std::string loadError(const std::string& name)
{
    CConfigFile file;
    return loadError(file, dataFile(name));
}

std::string parseError(const std::string& text)
{
    CConfigFile file;
    try {
        file.parse(text);
    } catch (const CException& e) {
        return e.what();
    }
    return "";
}

const std::string kChild = "CNodeValidator::validateChildNodes(): validation failed. ";
const std::string kAttr = "CNodeValidator::validateAttributes(): validation failed. ";
const std::string kPorts = "checkUniquePorts(): Port ";
const std::string kTaken = ", has already been assigned to another service on host ";

struct LoadCase {
    const char* file;
    std::string message;
};

const LoadCase kLoadCases[] = {
    // Parsing
    {"parse-empty.xml", "CConfigFile::parse(): no config element found"},
    {"parse-capital-root.xml", "CConfigFile::parse(): no config element found"},
    {"parse-line3.xml", "CConfigFile::parse(): error while parsing XML (line 3) :expected >"},
    {"parse-unterminated.xml",
     "CConfigFile::parse(): error while parsing XML (line 3) :unexpected end of data"},
    // Schema
    {"schema-attribute-on-config.xml", kAttr + "Unknown attribute 'version' in node 'config'"},
    {"schema-two-pools.xml",
     kChild + "Too many child nodes (found 2, maximum is 1) of type 'pools' in node 'config'"},
    {"schema-no-cacheservers.xml",
     kChild + "Too few child nodes (found 0, minimum is 1) of type 'cacheservers' in node 'config'"},
    {"schema-empty-cacheservers.xml",
     kChild + "Too few child nodes (found 0, minimum is 1) of type 'server' in node 'cacheservers'"},
    {"schema-empty-pools.xml",
     kChild + "Too few child nodes (found 0, minimum is 1) of type 'pool' in node 'pools'"},
    {"schema-too-many-limits.xml",
     kChild + "Too many child nodes (found 2, maximum is 1) of type 'limits' in node 'pool'"},
    {"schema-unknown-child.xml", kChild + "Invalid child node 'servers' in node 'pool'."},
    {"schema-child-in-server.xml", kChild + "Invalid child node 'cache' in node 'server'."},
    {"schema-child-in-router.xml", kChild + "Invalid child node 'x' in node 'requestrouter'."},
    {"schema-text-in-appserver.xml",
     kChild + "Child node '' in node 'appserver' has invalid content ('oops')"},
    {"schema-text-in-pools.xml",
     kChild + "Child node '' in node 'pools' has invalid content ('\n    stray ')"},
    {"schema-element-in-pool-router.xml",
     kChild + "Child node 'x' in node 'requestrouter' has invalid content ('')"},
    {"schema-cdata-in-pool-router.xml",
     kChild + "Child node '' in node 'requestrouter' has invalid content ('rr')"},
    {"schema-name-on-pool-router.xml", kAttr + "Unknown attribute 'name' in node 'requestrouter'"},
    {"schema-port-65536.xml", kAttr + "Value '65536' in 'port' is not a valid port value"},
    {"schema-bind-upper-case.xml", kAttr + "Value 'TRUE' in 'bind' is not a valid boolean value"},
    {"schema-host-underscore.xml",
     kAttr + "Value 'my_host' in 'host' is not a valid IP address or hostname"},
    {"schema-limit-trailing-blank.xml",
     kAttr + "Value '3 ' in 'servers_per_extension' is not a valid integer value"},
    {"schema-extension-without-dot.xml", kAttr + "Value 'pl' in 'extension' is not valid"},
    {"schema-extension-empty.xml", kAttr + "Value '' in 'extension' is not valid"},
    {"schema-ports-garbage.xml", kAttr + "Value '1-5x' in 'ports' is not a valid integer list"},
    {"schema-ports-huge-range.xml",
     kAttr + "Value '1-2147483647' in 'ports' is not a valid integer list"},
    {"schema-missing-port.xml",
     kAttr + "Mandatory attribute 'port' not found in node 'requestrouter'"},
    {"schema-max-cache-items.xml",
     kAttr + "Value 'many' in 'max_cache_items' is not a valid integer value"},
    {"schema-priority.xml", kAttr + "Value '1.5' in 'priority' is not a valid integer value"},
    // Model
    {"model-router-port-zero.xml",
     "Parser::parseAttrNumber(): invalid value '0' in node 'requestrouter' attribute 'port'"},
    {"model-cache-port-zero.xml",
     "Parser::parseAttrNumber(): invalid value '0' in node 'server' attribute 'port'"},
    {"model-empty-limit.xml",
     "Parser::parseNumber(): invalid value '' in node 'servers_per_extension"},
    {"model-limit-below-minus-one.xml",
     "Parser::parseNumber(): invalid value '-2' in node 'servers_per_extension"},
    {"model-ports-zero.xml",
     "XMLConfig::Parser::parseIntList(): invalid value '0,1' in node 'appserver' attribute 'ports'"},
    {"model-ports-too-big.xml",
     "XMLConfig::Parser::parseIntList(): invalid value '65535-65536' in node 'appserver' attribute "
     "'ports'"},
    {"model-negative-cache-items.xml",
     "Parser::parseAttrNumber(): invalid value '-1' in node 'requestrouters' attribute "
     "'max_cache_items'"},
    // Cross-checks
    {"check-pool-without-routers.xml",
     "checkPools(): Application servers, but no RequestRouters assigned to pool 'p'"},
    {"check-pool-empty-routers.xml",
     "checkPools(): Application servers, but no RequestRouters assigned to pool 'p'"},
    {"check-monitor-equals-port.xml",
     kPorts + "8000, assigned to request router 'rr'" + kTaken + "10.0.0.1"},
    {"check-mc-equals-other-router.xml",
     kPorts + "8000, assigned to request router 'rs'" + kTaken + "10.0.0.1"},
    {"check-appserver-ports-repeat.xml",
     kPorts + "80, assigned to application server '10.0.0.2_80,80' in pool 'p'" + kTaken + "10.0.0.2"},
    {"check-appserver-range-overlap.xml",
     kPorts + "81, assigned to application server '10.0.0.2_80-82,81' in pool 'p'" + kTaken +
         "10.0.0.2"},
    {"check-appserver-on-router-port.xml",
     kPorts + "8000, assigned to application server '10.0.0.1_8000' in pool 'p'" + kTaken + "10.0.0.1"},
    {"check-appserver-in-two-pools.xml",
     kPorts + "9000, assigned to application server '10.0.0.1_9000' in pool 'b'" + kTaken + "10.0.0.1"},
    {"check-cache-on-appserver-port.xml",
     "checkUniquePorts(): CacheServer port 9000 on host '10.0.0.1' has already been assigned to "
     "another service on host 10.0.0.1"},
    {"check-two-caches.xml",
     "checkUniquePorts(): CacheServer port 7000 on host '10.0.0.1' has already been assigned to "
     "another service on host 10.0.0.1"},
    {"check-undefined-router.xml",
     "checkReqRouterAssignments(): Nonexistant request router 'yy' assigned to pool 'p'"},
    {"check-router-name-with-spaces.xml",
     "checkReqRouterAssignments(): Nonexistant request router '\n          rr\n        ' assigned "
     "to pool 'p'"},
    {"check-router-name-split-by-comment.xml",
     "checkReqRouterAssignments(): Nonexistant request router 'r' assigned to pool 'p'"},
    // Which of several violations is reported
    {"order-child-before-attribute.xml", kChild + "Invalid child node 'extra' in node 'config'."},
    {"order-max-before-later-min.xml",
     kChild + "Too many child nodes (found 2, maximum is 1) of type 'cacheservers' in node 'config'"},
    {"order-counts-before-attributes.xml",
     kChild + "Too few child nodes (found 0, minimum is 1) of type 'cacheservers' in node 'config'"},
    {"order-attributes-in-document-order.xml",
     kAttr + "Value 'a_b' in 'host' is not a valid IP address or hostname"},
    {"order-invalid-before-mandatory.xml",
     kAttr + "Value 'maybe' in 'bind' is not a valid boolean value"},
    {"order-mandatory-in-name-order.xml",
     kAttr + "Mandatory attribute 'host' not found in node 'requestrouter'"},
    {"order-parent-before-child.xml",
     kChild + "Too few child nodes (found 0, minimum is 1) of type 'cacheservers' in node 'config'"},
    {"order-depth-first.xml",
     kAttr + "Value 'my_host' in 'host' is not a valid IP address or hostname"},
    {"order-routers-before-pools.xml",
     "Parser::parseAttrNumber(): invalid value '0' in node 'requestrouter' attribute 'port'"},
    {"order-content-before-siblings.xml",
     kChild + "Child node '' in node 'appserver' has invalid content ('x')"},
    {"order-pools-before-ports.xml",
     "checkPools(): Application servers, but no RequestRouters assigned to pool 'z'"},
    {"order-ports-before-routers.xml",
     kPorts + "9000, assigned to application server '10.0.0.1_9000,9000' in pool 'p'" + kTaken +
         "10.0.0.1"},
    {"order-router-pass-before-appservers.xml",
     kPorts + "8001, assigned to request router 'rs'" + kTaken + "10.0.0.1"},
    {"order-appservers-by-generated-name.xml",
     kPorts + "81, assigned to application server '10.0.0.9_81,82' in pool 'p'" + kTaken + "10.0.0.9"},
    // Valid files
    {"landscape.xml", ""},
    {"demo-like.xml", ""},
    {"valid-minimal.xml", ""},
    {"parse-other-root-first.xml", ""},
    {"valid-localhost-and-loopback.xml", ""},
    {"valid-duplicates-dropped.xml", ""},
    {"valid-deprecated-names.xml", ""},
    {"valid-comments-and-whitespace.xml", ""},
    {"valid-repeated-attribute.xml", ""},
};

TEST(XMLConfigLoadTest, EachFileLoadsOrFailsWithItsMessage)
{
    for (const LoadCase& c : kLoadCases)
        EXPECT_EQ(c.message, loadError(c.file)) << c.file;
}

TEST(XMLConfigLoadTest, FileErrorsNameThePath)
{
    testutil::TempDir dir;
    const std::string missing = dir / "none.xml";
    CConfigFile file;
    EXPECT_EQ("CConfigFile::loadFile(): Could not open config file " + missing,
              loadError(file, missing));
    const std::string message = loadError(file, dir.path());
    EXPECT_EQ(0u, message.find("CConfigFile::loadFile(): Could not determine the size of config file " +
                              dir.path()))
        << message;
    // A FIFO without a writer neither blocks the load nor passes as a file.
    const std::string fifo = dir / "fifo.xml";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    EXPECT_EQ(0u, loadError(file, fifo).find(
                      "CConfigFile::loadFile(): Could not determine the size of config file " + fifo));
    EXPECT_EQ(nullptr, file.config());
}

TEST(XMLConfigLoadTest, DefaultFileIsInConfigDir)
{
    CScopedEnvChange scope("TARVEL_CONFIG", "/etc/tarvel/", false);
    EXPECT_EQ("/etc/tarvel/ServerConfig.xml", CConfigFile::defaultFileName());
}

TEST(XMLConfigLoadTest, ParseErrorsCountLinesOfTheOriginalText)
{
    // Entity expansion rewrites the buffer before the error; the line is
    // still that of the file.
    EXPECT_EQ("CConfigFile::parse(): error while parsing XML (line 4) :expected >",
              parseError("<config>&amp;&amp;\n\n&lt;\n<a =/></config>"));
    EXPECT_EQ("CConfigFile::parse(): error while parsing XML (line 1) :expected <",
              parseError("x"));
    // The document ends at the first NUL.
    EXPECT_EQ("CConfigFile::parse(): no config element found",
              parseError(std::string("<a/>\0<config/>", 14)));
}

TEST(XMLConfigLoadTest, DeepNestingIsRefusedBeforeParsing)
{
    std::string deep = "<config>\n";
    for (int i = 0; i < 200000; ++i)
        deep += "<a>";
    EXPECT_EQ("CConfigFile::parse(): error while parsing XML (line 2) :elements nested too deeply",
              parseError(deep));

    // Comments, CDATA, quoted '>', empty elements and quotes in names do not nest.
    std::string flat = "<x>";
    for (int i = 0; i < 5000; ++i)
        flat += "<!-- <a> --><![CDATA[<a>]]><?p <a>?><b c='>'/><d/><e></e><q\"n>t</q\"n>";
    flat += "</x>";
    EXPECT_EQ("CConfigFile::parse(): no config element found", parseError(flat));

    std::string nested;
    for (int i = 0; i < 1000; ++i)
        nested = "<a>" + nested + "</a>";
    EXPECT_EQ("CConfigFile::parse(): no config element found", parseError(nested));
    EXPECT_EQ("CConfigFile::parse(): error while parsing XML (line 1) :elements nested too deeply",
              parseError("<a>" + nested + "</a>"));
}

// Every prefix and many random mutations of a valid file end in a
// CException or a model; none may crash, hang or leave a half model.
TEST(XMLConfigLoadTest, DamagedFilesFailCleanly)
{
    const std::string text = testutil::ReadFile(dataFile("landscape.xml"));
    ASSERT_FALSE(text.empty());
    for (std::size_t n = 0; n < text.size(); ++n) {
        CConfigFile file;
        try {
            file.parse(text.substr(0, n));
        } catch (const CException&) {
            EXPECT_EQ(nullptr, file.config()) << n;
        }
    }
    std::mt19937 random(12345);
    const char alphabet[] = "<>/=\"'&;!?[]-# \nax0";
    for (int round = 0; round < 3000; ++round) {
        std::string damaged = text;
        for (int k = 0; k < 3; ++k)
            damaged[random() % damaged.size()] = alphabet[random() % (sizeof alphabet - 1)];
        CConfigFile file;
        try {
            file.parse(damaged);
        } catch (const CException&) {
        }
    }
}

TEST(XMLConfigLoadTest, FailedConstructionKeepsPreviousModelFailedCheckInstallsNew)
{
    CConfigFile file;
    ASSERT_EQ("", loadError(file, dataFile("landscape.xml")));
    const Config* first = file.config();
    ASSERT_NE(nullptr, first);
    EXPECT_NE("", loadError(file, dataFile("schema-port-65536.xml")));
    EXPECT_EQ(first, file.config());
    EXPECT_NE("", loadError(file, dataFile("check-two-caches.xml")));
    ASSERT_NE(first, file.config());
    EXPECT_EQ(1u, file.config()->pools().pools().size());
}

// ---- Queries on the model --------------------------------------------------

class XMLConfigModelTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ("", loadError(mFile, dataFile("landscape.xml"))); }
    const Config& config() const { return *mFile.config(); }

    CConfigFile mFile;
};

typedef std::tuple<std::string, unsigned short, bool> Call;

std::vector<Call> appServers(const CConfigFile& file, const StringVector& ipList)
{
    std::vector<Call> calls;
    file.getAppServers(ipList, [&](const std::string& host, unsigned short port, bool bind) {
        calls.emplace_back(host, port, bind);
    });
    return calls;
}

TEST_F(XMLConfigModelTest, AppServersForAnAddressListInPoolAndNameOrder)
{
    // Pools "admin" before "web"; ports in list order.
    EXPECT_EQ((std::vector<Call>{{"10.0.0.1", 9100, true},
                                 {"10.0.0.1", 9001, true},
                                 {"10.0.0.1", 9002, true},
                                 {"10.0.0.1", 9003, true},
                                 {"10.0.0.1", 9010, true}}),
              appServers(mFile, {"10.0.0.1"}));
    EXPECT_EQ((std::vector<Call>{{"::1", 9100, true}, {"10.0.0.2", 9001, false}, {"10.0.0.2", 9002, false}}),
              appServers(mFile, {"10.0.0.2", "::1", "10.0.0.3"}));
    // Byte-for-byte: other spellings of an address do not match.
    EXPECT_TRUE(appServers(mFile, {"0:0::1", "10.0.0.01", "localhost", ""}).empty());
    EXPECT_TRUE(appServers(mFile, {}).empty());
}

TEST_F(XMLConfigModelTest, EachServerKnowsItsPool)
{
    std::vector<std::string> pools;
    mFile.getPooledAppServers({"10.0.0.1"}, [&](const std::string& pool, const std::string& host,
                                                unsigned short port, bool) {
        pools.push_back(pool + " " + host + ":" + std::to_string(port));
    });
    EXPECT_EQ((std::vector<std::string>{"admin 10.0.0.1:9100", "web 10.0.0.1:9001",
                                        "web 10.0.0.1:9002", "web 10.0.0.1:9003",
                                        "web 10.0.0.1:9010"}),
              pools);
    EXPECT_EQ(mFile.poolOf("10.0.0.1", 9002), "web");
    EXPECT_EQ(mFile.poolOf("10.0.0.2", 9002), "web");
    EXPECT_EQ(mFile.poolOf("::1", 9100), "admin");
    EXPECT_EQ(mFile.poolOf("10.0.0.1", 9004), "");
    EXPECT_EQ(mFile.poolOf("10.0.0.3", 9001), "");
}

TEST_F(XMLConfigModelTest, RouterQueries)
{
    EXPECT_EQ(IPEndpoint("10.0.0.1", 8000, true), mFile.getRequestRouter("rr-main"));
    EXPECT_EQ(IPEndpoint("10.0.0.1", 8001, true), mFile.getMonitor("rr-main"));
    EXPECT_EQ(IPEndpoint("10.0.0.1", 8002, true), mFile.getMessageCenter("rr-main"));
    EXPECT_EQ(IPEndpoint("rr2.example.invalid", 0, false), mFile.getMonitor("rr-backup"));
    try {
        mFile.getMessageCenter("rr-backup");
        ADD_FAILURE();
    } catch (const CException& e) {
        EXPECT_STREQ("Message center not found: rr-backup", e.what());
    }
    try {
        mFile.getRequestRouter("rr-none");
        ADD_FAILURE();
    } catch (const CException& e) {
        EXPECT_STREQ("RequestRouters::routerByName(): Request router 'rr-none' not defined", e.what());
    }

    // Name order: rr-backup before rr-main; zero ports left out.
    EXPECT_EQ((IPEndpointVector{{"rr2.example.invalid", 8000, false}, {"10.0.0.1", 8000, true}}),
              mFile.getRequestRouters());
    EXPECT_EQ((IPEndpointVector{{"10.0.0.1", 8001, true}}), mFile.getMonitors());
    EXPECT_EQ((IPEndpointVector{{"10.0.0.1", 8002, true}}), mFile.getMessageCenters());

    const std::vector<const RequestRouter*> web = mFile.getRequestRoutersByPoolName("web");
    ASSERT_EQ(2u, web.size());
    EXPECT_EQ("rr-main", web[0]->name());
    EXPECT_EQ("rr-backup", web[1]->name());
    EXPECT_TRUE(mFile.getRequestRoutersByPoolName("spare").empty());
    EXPECT_THROW(mFile.getRequestRoutersByPoolName("none"), CException);

    const RequestRouters& routers = config().requestRouters();
    EXPECT_EQ(500, routers.maxCacheItems());
    EXPECT_EQ("rr-main", routers.routerByIP("10.0.0.1")->name());
    try {
        routers.routerByIP("10.0.0.9");
        ADD_FAILURE();
    } catch (const CException& e) {
        EXPECT_STREQ("RequestRouters::routerByIP(): No request router found for IP 10.0.0.9", e.what());
    }
}

TEST_F(XMLConfigModelTest, PoolsLimitsAndServers)
{
    const Pools& pools = config().pools();
    EXPECT_EQ(3u, pools.pools().size());
    try {
        pools.poolByName("Web");
        ADD_FAILURE();
    } catch (const CException& e) {
        EXPECT_STREQ("Pools::poolByName(): Pool 'Web' not defined", e.what());
    }

    const Pool& web = *pools.poolByName("web");
    EXPECT_EQ(4, web.limits().serversPerSite());
    EXPECT_EQ(2, web.limits().serversPerClient());
    EXPECT_EQ(3, web.limits().extensionLimit(".pl"));
    EXPECT_EQ(-1, web.limits().extensionLimit(".cgi"));
    EXPECT_EQ(0, web.limits().extensionLimit(".php"));
    EXPECT_EQ((StringVector{"rr-main", "rr-backup"}), web.requestRouters().routerNames());

    const AppServer& first = *web.appServers().serverByName("10.0.0.1_9001-9003,9010");
    EXPECT_EQ((std::vector<unsigned short>{9001, 9002, 9003, 9010}), first.ports());
    EXPECT_EQ(5, first.priority());
    EXPECT_TRUE(first.bind());
    const AppServer& second = *web.appServers().serverByName("10.0.0.2_9001 9002");
    EXPECT_EQ(0, second.priority());
    EXPECT_FALSE(second.bind());
    try {
        web.appServers().serverByName("10.0.0.1_9100");
        ADD_FAILURE();
    } catch (const CException& e) {
        EXPECT_STREQ("AppServers::serverByName(): Application server '10.0.0.1_9100' not defined",
                     e.what());
    }

    // A pool without limits, routers or servers.
    const Pool& spare = *pools.poolByName("spare");
    EXPECT_EQ(-1, spare.limits().serversPerSite());
    EXPECT_EQ(-1, spare.limits().serversPerClient());
    EXPECT_EQ(0, spare.limits().extensionLimit(".pl"));
    EXPECT_TRUE(spare.requestRouters().routerNames().empty());
    EXPECT_TRUE(spare.appServers().servers().empty());
}

TEST_F(XMLConfigModelTest, CacheServers)
{
    EXPECT_EQ((IPEndpointVector{{"10.0.0.1", 7000, true}, {"10.0.0.2", 7000, false}}),
              config().cacheServers().endpoints());
    EXPECT_TRUE(mFile.isASPoolDBCacheEnabled({"10.0.0.1", 7000, false}));
    EXPECT_FALSE(mFile.isASPoolDBCacheEnabled({"10.0.0.2", 7000, true}));
    try {
        mFile.isASPoolDBCacheEnabled({"10.0.0.1", 7001, true});
        ADD_FAILURE();
    } catch (const CException& e) {
        EXPECT_STREQ("CacheServers::serverByAddr(): No cache server found for 10.0.0.1", e.what());
    }
}

TEST(XMLConfigModelEdgeTest, DuplicatesKeepTheFirstAndRepeatedAttributesReadTheFirst)
{
    CConfigFile file;
    ASSERT_EQ("", loadError(file, dataFile("valid-duplicates-dropped.xml")));
    EXPECT_EQ(IPEndpoint("10.0.0.1", 8000, true), file.getRequestRouter("rr"));
    const Pool& pool = *file.config()->pools().poolByName("p");
    ASSERT_EQ(1u, pool.appServers().servers().size());
    EXPECT_EQ(0, pool.appServers().servers().begin()->second->priority());
    EXPECT_EQ(1u, file.config()->pools().pools().size());

    ASSERT_EQ("", loadError(file, dataFile("valid-repeated-attribute.xml")));
    EXPECT_FALSE(file.isASPoolDBCacheEnabled({"10.0.0.1", 7000, true}));

    ASSERT_EQ("", loadError(file, dataFile("valid-localhost-and-loopback.xml")));
    EXPECT_TRUE(appServers(file, {"localhost"}).empty());
    EXPECT_EQ(1u, appServers(file, {"127.0.0.1"}).size());
}

TEST(XMLConfigModelEdgeTest, AbsentAttributesTakeTheirDefaults)
{
    CConfigFile file;
    ASSERT_EQ("", loadError(file, dataFile("valid-minimal.xml")));
    EXPECT_EQ(1000, file.config()->requestRouters().maxCacheItems());
    EXPECT_EQ(IPEndpoint("10.0.0.1", 0, true), file.getMonitor("rr"));
    EXPECT_TRUE(file.getMessageCenters().empty());
    const Pool& pool = *file.config()->pools().poolByName("p");
    EXPECT_EQ(-1, pool.limits().serversPerSite());
    EXPECT_EQ(-1, pool.limits().serversPerClient());
    const AppServer& server = *pool.appServers().serverByName("10.0.0.1_9000");
    EXPECT_EQ(0, server.priority());
    EXPECT_TRUE(server.bind());
    EXPECT_TRUE(file.isASPoolDBCacheEnabled({"10.0.0.1", 7000, true}));
    EXPECT_TRUE(file.config()->cacheServers().servers()[0]->bind());
}

TEST(XMLConfigModelEdgeTest, DemoShape)
{
    CConfigFile file;
    ASSERT_EQ("", loadError(file, dataFile("demo-like.xml")));
    EXPECT_EQ((std::vector<Call>{{"127.0.0.1", 8001, true}, {"127.0.0.1", 8002, true}}),
              appServers(file, {"127.0.0.1"}));
}

TEST(XMLConfigModelEdgeTest, WideRangesStayCompactAndAreCheckedQuickly)
{
    // Many hosts each with every port: valid, and cheap to hold and check.
    std::string text =
        "<config><requestrouters><requestrouter name='r' host='r' port='1'/></requestrouters>"
        "<pools><pool name='p'><requestrouters><requestrouter>r</requestrouter></requestrouters>"
        "<appservers>";
    for (int i = 0; i < 200; ++i)
        text += "<appserver host='h" + std::to_string(i) + "' ports='1-65535'/>";
    text += "</appservers></pool></pools><cacheservers><server host='c' port='1'/></cacheservers></config>";
    CConfigFile file;
    EXPECT_EQ("", [&] {
        try {
            file.parse(text);
        } catch (const CException& e) {
            return std::string(e.what());
        }
        return std::string();
    }());
    std::size_t calls = 0;
    file.getAppServers({"h7"}, [&](const std::string&, unsigned short, bool) { ++calls; });
    EXPECT_EQ(65535u, calls);

    // Sixteen full ranges on one host: a duplicate, found at once.
    std::string many;
    for (int i = 0; i < 16; ++i)
        many += "1-65535,";
    EXPECT_EQ(kPorts + "1, assigned to application server 'h_" + many + "' in pool 'p'" + kTaken + "h",
              parseError("<config><requestrouters/><pools><pool name='p'><requestrouters>"
                         "<requestrouter>r</requestrouter></requestrouters><appservers>"
                         "<appserver host='h' ports='" + many + "'/></appservers></pool></pools>"
                         "<cacheservers><server host='c' port='1'/></cacheservers></config>"));
}

// The check port by port, as the rule is written: one set of ports per host,
// filled in the order of the passes; the message of the first port found
// taken, "" when there is none.
std::string duplicatePortByPort(const Config& config)
{
    std::map<std::string, std::set<unsigned short>> used;
    for (const auto& entry : config.requestRouters().routers())
        for (unsigned short port :
             {entry.second->port(), entry.second->monitorPort(), entry.second->mcPort()})
            if (port != 0 && !used[entry.second->host()].insert(port).second)
                return kPorts + std::to_string(port) + ", assigned to request router '" +
                       entry.second->name() + "'" + kTaken + entry.second->host();
    for (const auto& pool : config.pools().pools())
        for (const auto& server : pool.second->appServers().servers())
            for (unsigned short port : server.second->ports())
                if (!used[server.second->host()].insert(port).second)
                    return kPorts + std::to_string(port) + ", assigned to application server '" +
                           server.first + "' in pool '" + pool.first + "'" + kTaken +
                           server.second->host();
    for (const IPEndpoint& cache : config.cacheServers().endpoints())
        if (!used[cache.host].insert(cache.port).second)
            return "checkUniquePorts(): CacheServer port " + std::to_string(cache.port) +
                   " on host '" + cache.host + "' has already been assigned to another service on host " +
                   cache.host;
    return "";
}

TEST(XMLConfigModelEdgeTest, PortGivenTwiceIsReportedWhereAPortByPortCheckFindsIt)
{
    // Random landscapes of rising and falling runs, single ports, routers and
    // cache servers on three hosts, half of them with a port given twice.
    std::mt19937 random(20261207);
    auto pick = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    const char* hosts[] = {"10.0.0.1", "10.0.0.2", "h"};
    int duplicates = 0;
    for (int round = 0; round < 400; ++round) {
        std::string text = "<config><requestrouters>";
        for (int r = 0; r < pick(1, 2); ++r) {
            text += "<requestrouter name='r" + std::to_string(r) + "' host='" + hosts[pick(0, 2)] +
                    "' port='" + std::to_string(pick(1, 60)) + "'";
            if (pick(0, 1))
                text += " monitor_port='" + std::to_string(pick(1, 60)) + "'";
            text += "/>";
        }
        text += "</requestrouters><pools><pool name='p'><requestrouters><requestrouter>r0"
                "</requestrouter></requestrouters><appservers>";
        for (int a = 0; a < pick(1, 4); ++a) {
            std::string ports;
            for (int item = 0; item < pick(1, 4); ++item) {
                const int first = pick(1, 60);
                ports += (item ? "," : "") + std::to_string(first);
                if (pick(0, 1))
                    ports += "-" + std::to_string(std::max(1, first + pick(-12, 12)));
            }
            text += "<appserver host='" + std::string(hosts[pick(0, 2)]) + "' ports='" + ports + "'/>";
        }
        text += "</appservers></pool></pools><cacheservers><server host='" +
                std::string(hosts[pick(0, 2)]) + "' port='" + std::to_string(pick(1, 60)) +
                "'/></cacheservers></config>";

        CConfigFile file;
        std::string message;
        try {
            file.parse(text);
        } catch (const CException& e) {
            message = e.what();
        }
        ASSERT_NE(nullptr, file.config()) << text << "\n" << message;
        const std::string expected = duplicatePortByPort(*file.config());
        ASSERT_EQ(expected, message) << text;
        duplicates += !expected.empty();
    }
    EXPECT_GT(duplicates, 100);
    EXPECT_LT(duplicates, 300);
}

TEST(XMLConfigDeathTest, QueriesNeedALoadedModel)
{
    CConfigFile file;
    EXPECT_DEATH(file.getAppServers({"10.0.0.1"}, [](const std::string&, unsigned short, bool) {}),
                 "Assertion `mConfig' failed");
    EXPECT_DEATH(file.getRequestRouters(), "Assertion `mConfig' failed");
    EXPECT_DEATH(checkPools(nullptr), "Assertion `config' failed");
}

}  // namespace
