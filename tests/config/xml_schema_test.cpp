#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include <rapidxml/rapidxml.hpp>

#include "common/test_util.h"
#include "config/XMLConfig.h"
#include "config/XMLConfigValidator.h"
#include "foundation/Exceptions.h"
#include "foundation/Log.h"

namespace {

using namespace XMLConfig;
typedef CDataDescriptor D;

class Doc {
public:
    explicit Doc(const std::string& xml) : mText(xml.begin(), xml.end())
    {
        mText.push_back('\0');
        mDoc.parse<0>(mText.data());
    }
    const rapidxml::xml_node<char>* root() const { return mDoc.first_node(); }

private:
    std::vector<char> mText;
    rapidxml::xml_document<char> mDoc;
};

std::string validationError(const CNodeValidator& validator, const std::string& xml)
{
    Doc doc(xml);
    try {
        validator.validate(doc.root());
    } catch (const CException& e) {
        return e.what();
    }
    return "";
}

const std::string kChild = "CNodeValidator::validateChildNodes(): validation failed. ";
const std::string kAttr = "CNodeValidator::validateAttributes(): validation failed. ";

TEST(XMLSchemaTest, DataTypes)
{
    const UserValidationFunc none;
    const struct {
        D::DataType type;
        const char* text;
        bool valid;
    } cases[] = {
        {D::DATA_INTEGER, "-2147483648", true},
        {D::DATA_INTEGER, "2147483648", false},
        {D::DATA_INTEGER, "1 ", false},
        {D::DATA_INTEGER, "", false},
        {D::DATA_INTEGER_LIST, "10-13,20", true},
        {D::DATA_INTEGER_LIST, "", true},
        {D::DATA_INTEGER_LIST, "-5--3", true},
        {D::DATA_INTEGER_LIST, "0-65535", true},
        {D::DATA_INTEGER_LIST, "0-65536", false},
        {D::DATA_INTEGER_LIST, "a", false},
        {D::DATA_BOOLEAN, "off", true},
        {D::DATA_BOOLEAN, "TRUE", false},
        {D::DATA_IP_ADDRESS, "fe80::1", true},
        {D::DATA_IP_ADDRESS, "host", false},
        {D::DATA_IP_OR_HOSTNAME, "host.example.invalid", true},
        {D::DATA_IP_OR_HOSTNAME, "", true},
        {D::DATA_IP_OR_HOSTNAME, "a_b", false},
        {D::DATA_PORT, "0", true},
        {D::DATA_PORT, "65535", true},
        {D::DATA_PORT, "65536", false},
        {D::DATA_PORT, "-1", false},
        {D::DATA_STRING, "", true},
        {static_cast<D::DataType>(42), "anything", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.valid, D::isValid(c.text, c.type, none)) << c.type << " '" << c.text << "'";

    EXPECT_TRUE(D::isValid("x", D::DATA_USER, [](const std::string& t) { return t == "x"; }));
    EXPECT_FALSE(D::isValid("y", D::DATA_USER, [](const std::string& t) { return t == "x"; }));
    // Only the parsers' CException means "not valid".
    EXPECT_FALSE(D::isValid("y", D::DATA_USER, [](const std::string&) -> bool {
        throw CException("no");
    }));
}

TEST(XMLSchemaDeathTest, CallbackBelongsToUserTypeOnly)
{
    EXPECT_DEATH(D::isValid("1", D::DATA_INTEGER, [](const std::string&) { return true; }),
                 "Assertion `!callback \\|\\| \\(callback && validContent == DATA_USER\\)' failed");
}

TEST(XMLSchemaTest, Callbacks)
{
    EXPECT_TRUE(checkLimitExtension(".pl"));
    EXPECT_TRUE(checkLimitExtension("."));
    EXPECT_FALSE(checkLimitExtension("pl"));
    EXPECT_FALSE(checkLimitExtension(""));
}

TEST(XMLSchemaTest, DeprecatedNameIsLoggedOncePerAppServerPerLoad)
{
    testutil::TempDir dir;
    const std::string log = dir / "Service.log";
    CLog::setFileName(log.c_str());
    const std::string file = std::string(TARVEL_TEST_DATA) + "/config/data/valid-deprecated-names.xml";
    const std::string warning =
        "WARNING: attribute 'name' of element <appserver> in ServerConfig.xml is deprecated. Please remove.";
    CConfigFile config;
    config.loadFile(file.c_str());
    EXPECT_EQ(2, testutil::CountLinesContaining(log, warning));
    config.loadFile(file.c_str());
    EXPECT_EQ(4, testutil::CountLinesContaining(log, warning));
}

TEST(XMLSchemaTest, BuildingValidatorsRefusesDuplicateNames)
{
    const CNodeDescriptor nodes[] = {CNodeDescriptor("a", 0, 1, CONTENT_ELEMENT, D::DATA_STRING),
                                     CNodeDescriptor("a", 0, 1, CONTENT_DATA, D::DATA_STRING)};
    const CAttributeDescriptor attrs[] = {CAttributeDescriptor("x", D::DATA_STRING, false),
                                          CAttributeDescriptor("x", D::DATA_BOOLEAN, true)};
    try {
        CNodeValidator validator(attrs, 1, nodes, 2);
        ADD_FAILURE();
    } catch (const CException& e) {
        EXPECT_STREQ("CNodeValidator::addNode(): node type already in validation map", e.what());
    }
    try {
        CNodeValidator validator(attrs, 2, nodes, 1);
        ADD_FAILURE();
    } catch (const CException& e) {
        EXPECT_STREQ("CNodeValidator::addAttribute(): attribute type already in validation map",
                     e.what());
    }
    CNodeValidator empty(nullptr, 0, nullptr, 0);
    empty.addNodes(nodes, 1);
    empty.addAttributes(attrs, 1);
    EXPECT_THROW(empty.addNode(nodes[1]), CException);
    EXPECT_THROW(empty.addAttribute(attrs[1]), CException);
}

TEST(XMLSchemaTest, ContentMaskAlwaysAllowsComments)
{
    const CNodeDescriptor text("t", 0, 1, CONTENT_DATA, D::DATA_STRING);
    EXPECT_FALSE(text.allows(rapidxml::node_element));
    EXPECT_TRUE(text.allows(rapidxml::node_data));
    EXPECT_FALSE(text.allows(rapidxml::node_cdata));
    EXPECT_TRUE(text.allows(rapidxml::node_comment));
    EXPECT_FALSE(text.allows(rapidxml::node_pi));
    const CNodeDescriptor ten("t", 0, 1, 10, D::DATA_STRING);
    EXPECT_EQ(text.content, ten.content);
}

TEST(XMLSchemaTest, NullElement)
{
    try {
        Config::validator.validate(nullptr);
        ADD_FAILURE();
    } catch (const CException& e) {
        EXPECT_STREQ("CNodeValidator::validate(): validation of NULL node failed.", e.what());
    }
    // A model node built from a missing element validates nothing.
    EXPECT_NO_THROW(PoolLimits(nullptr));
}

// The built-in validators on single elements, independent of the model.
TEST(XMLSchemaTest, BuiltInValidators)
{
    const struct {
        const CNodeValidator& validator;
        const char* xml;
        std::string message;
    } cases[] = {
        {Config::validator, "<config><requestrouters/><pools/><cacheservers/></config>", ""},
        {Config::validator, "<config>\n  <!-- c --> <requestrouters/><pools/><cacheservers/>\n</config>", ""},
        {Config::validator, "<config a=''><requestrouters/><pools/><cacheservers/></config>",
         kAttr + "Unknown attribute 'a' in node 'config'"},
        {Config::validator, "<config><requestrouters>x</requestrouters><pools/><cacheservers/></config>",
         kChild + "Child node '' in node 'requestrouters' has invalid content ('x')"},
        {Config::validator, "<config><Pools/><requestrouters/><pools/><cacheservers/></config>",
         kChild + "Invalid child node 'Pools' in node 'config'."},
        {RequestRouters::validator, "<requestrouters max_cache_items='-5'><requestrouter/></requestrouters>", ""},
        {RequestRouters::validator, "<requestrouters><requestrouter><!--c--></requestrouter></requestrouters>", ""},
        {RequestRouter::validator, "<requestrouter name='' host='' port='0' monitor_port='65535' mc_port='1' bind='no'/>", ""},
        {RequestRouter::validator, "<requestrouter name='a' host='h' port='1' port='x'/>",
         kAttr + "Value 'x' in 'port' is not a valid port value"},
        {RequestRouter::validator, "<requestrouter name='a' host='h' port='1' mc_port='65536'/>",
         kAttr + "Value '65536' in 'mc_port' is not a valid port value"},
        {RequestRouter::validator, "<requestrouter name='a' host='h' port='1' Bind='no'/>",
         kAttr + "Unknown attribute 'Bind' in node 'requestrouter'"},
        {Pools::validator, "<pools><pool/><pool/></pools>", ""},
        {Pool::validator, "<pool name=''><limits/><requestrouters/><appservers/></pool>", ""},
        {Pool::validator, "<pool name='p'><appservers/><appservers/><limits/><limits/></pool>",
         kChild + "Too many child nodes (found 2, maximum is 1) of type 'appservers' in node 'pool'"},
        {Pool::validator, "<pool><limits>3</limits></pool>",
         kChild + "Child node '' in node 'limits' has invalid content ('3')"},
        {Pool::validator, "<pool/>", kAttr + "Mandatory attribute 'name' not found in node 'pool'"},
        {PoolLimits::validator, "<limits servers_per_site='-1' servers_per_client='0'>"
                                "<servers_per_extension>-7</servers_per_extension></limits>", ""},
        {PoolLimits::validator, "<limits><servers_per_extension><x/></servers_per_extension></limits>",
         kChild + "Child node 'x' in node 'servers_per_extension' has invalid content ('')"},
        {PoolLimits::validator, "<limits><servers_per_extension>1<![CDATA[2]]></servers_per_extension></limits>",
         kChild + "Child node '' in node 'servers_per_extension' has invalid content ('2')"},
        {PoolLimits::validator, "<limits><servers_per_extension>1<!--c-->x</servers_per_extension></limits>",
         kAttr + "Value 'x' in 'servers_per_extension' is not a valid integer value"},
        {PoolLimits::validator, "<limits servers_per_site='all'/>",
         kAttr + "Value 'all' in 'servers_per_site' is not a valid integer value"},
        {ServersPerExtension::validator, "<servers_per_extension/>",
         kAttr + "Mandatory attribute 'extension' not found in node 'servers_per_extension'"},
        {PoolRequestRouters::validator, "<requestrouters><requestrouter> a b </requestrouter></requestrouters>", ""},
        {PoolRequestRouters::validator, "<requestrouters><router/></requestrouters>",
         kChild + "Invalid child node 'router' in node 'requestrouters'."},
        {PoolRequestRouter::validator, "<requestrouter x='1'>a</requestrouter>",
         kAttr + "Unknown attribute 'x' in node 'requestrouter'"},
        {AppServers::validator, "<appservers/>", ""},
        {AppServer::validator, "<appserver host='' ports='' bind='on' priority='-3' maxmemory='0'/>", ""},
        {AppServer::validator, "<appserver host='h' ports='1' maxmemory='1G'/>",
         kAttr + "Value '1G' in 'maxmemory' is not a valid integer value"},
        {AppServer::validator, "<appserver ports='1'/>",
         kAttr + "Mandatory attribute 'host' not found in node 'appserver'"},
        {AppServer::validator, "<appserver host='h'/>",
         kAttr + "Mandatory attribute 'ports' not found in node 'appserver'"},
        {CacheServers::validator, "<cacheservers><server/></cacheservers>", ""},
        {CacheServers::validator, "<cacheservers>\n</cacheservers>",
         kChild + "Too few child nodes (found 0, minimum is 1) of type 'server' in node 'cacheservers'"},
        {CacheServer::validator, "<server host='::1' port='1' enable_cache='maybe'/>",
         kAttr + "Value 'maybe' in 'enable_cache' is not a valid boolean value"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.message, validationError(c.validator, c.xml)) << c.xml;
}

}  // namespace
