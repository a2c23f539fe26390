// Loading ServerConfig.xml and answering queries on its model.
#include "config/XMLConfig.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <unordered_set>

#include <rapidxml/rapidxml.hpp>

#include "baselib/kx_regularfile.h"
#include "config/TarvelEnv.h"
#include "foundation/Exceptions.h"

namespace XMLConfig {

namespace {

// The XML parser descends once per open element, on the stack. Real files
// nest six deep; anything far beyond is refused before it can exhaust the
// stack.
const std::size_t kMaxElementDepth = 1000;

bool startsWith(const char* text, const char* prefix)
{
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// Finds the first start tag that opens more than kMaxElementDepth elements.
// Follows the parser's reading of markup: comments, CDATA, processing
// instructions, document types and quoted attribute values do not nest.
const char* findTooDeepElement(const char* text)
{
    std::size_t depth = 0;
    const char* p = text;
    while ((p = std::strchr(p, '<')) != nullptr) {
        const char* const tag = p;
        if (startsWith(p, "<?")) {
            p = std::strstr(p + 2, "?>");
        } else if (startsWith(p, "<!--")) {
            p = std::strstr(p + 4, "-->");
        } else if (startsWith(p, "<![CDATA[")) {
            p = std::strstr(p + 9, "]]>");
        } else if (startsWith(p, "<!DOCTYPE") && std::strchr(" \t\r\n", p[9]) && p[9] != '\0') {
            int brackets = 0;
            for (p += 9; *p != '\0' && (*p != '>' || brackets > 0); ++p) {
                if (*p == '[')
                    ++brackets;
                else if (*p == ']' && brackets > 0)
                    --brackets;
            }
        } else if (startsWith(p, "<!") || startsWith(p, "</")) {
            if (p[1] == '/' && depth > 0)
                --depth;
            p = std::strchr(p, '>');
        } else {
            // Names may hold quotes (the parser allows them); only a quote
            // after an '=' opens an attribute value.
            for (++p; *p != '\0' && std::strchr(" \t\r\n/>?", *p) == nullptr; ++p) {
            }
            char quote = 0;
            bool afterEquals = false;
            for (; *p != '\0' && (quote != 0 || *p != '>'); ++p) {
                if (quote != 0) {
                    if (*p == quote)
                        quote = 0;
                } else if (afterEquals && (*p == '"' || *p == '\'')) {
                    quote = *p;
                    afterEquals = false;
                } else if (*p == '=') {
                    afterEquals = true;
                } else if (std::strchr(" \t\r\n", *p) == nullptr) {
                    afterEquals = false;
                }
            }
            if (*p == '>' && p[-1] != '/' && ++depth > kMaxElementDepth)
                return tag;
        }
        if (p == nullptr || *p == '\0')
            break;
        ++p;
    }
    return nullptr;
}

std::string lineOf(const std::string& text, std::size_t offset)
{
    offset = std::min(offset, text.size());
    return std::to_string(std::count(text.begin(), text.begin() + offset, '\n') + 1);
}

std::string parseErrorMessage(const std::string& text, std::size_t offset, const char* what)
{
    return "CConfigFile::parse(): error while parsing XML (line " + lineOf(text, offset) + ") :" +
           what;
}

[[noreturn]] void throwFileError(const char* what, const char* path, int error)
{
    throw CException(std::string("CConfigFile::loadFile(): ") + what + " " + path + " (" +
                     (error != 0 ? std::strerror(error) : "unexpected end of file") + ")");
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : mFd(fd) {}
    ~FileDescriptor()
    {
        if (mFd >= 0)
            ::close(mFd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return mFd; }

private:
    int mFd;
};

}  // namespace

CConfigFile::CConfigFile() = default;

CConfigFile::~CConfigFile() = default;

std::string CConfigFile::defaultFileName()
{
    return CTarvelEnv::configDir() + "/ServerConfig.xml";
}

namespace {

// The whole file and a terminating NUL; the file is closed on return.
std::string readWholeFile(const char* path)
{
    // Opened without waiting, so that a FIFO given as the file cannot stall
    // the load; only a regular file has a size to seek to, a directory or a
    // pipe would give a meaningless or no answer.
    int fd = -1;
    const KXStatus opened = KXOpenRegularFile(path, &fd);
    if (opened == ERROR_FILE_TYPE)
        throw CException(std::string("CConfigFile::loadFile(): Could not determine the size of "
                                     "config file ") +
                         path + " (not a regular file)");
    if (opened != ERROR_NONE)
        throw CException(std::string("CConfigFile::loadFile(): Could not open config file ") + path);
    FileDescriptor file(fd);
    const off_t size = ::lseek(file.get(), 0, SEEK_END);
    if (size < 0 || ::lseek(file.get(), 0, SEEK_SET) != 0)
        throwFileError("Could not determine the size of config file", path, errno);

    std::string text(static_cast<std::size_t>(size) + 1, '\0');
    std::size_t done = 0;
    while (done < static_cast<std::size_t>(size)) {
        const ssize_t got = ::read(file.get(), &text[done], static_cast<std::size_t>(size) - done);
        if (got < 0 && errno == EINTR)
            continue;
        // A file that shrank since its size was taken cannot be read whole.
        if (got <= 0)
            throwFileError("Could not read config file", path, got < 0 ? errno : 0);
        done += static_cast<std::size_t>(got);
    }
    return text;
}

}  // namespace

void CConfigFile::loadFile(const char* path)
{
    TARVEL_ASSERT(path != nullptr);
    parse(readWholeFile(path));
}

void CConfigFile::parse(const std::string& text)
{
    // The parser works in place and stops at the first NUL.
    std::vector<char> buffer;
    buffer.reserve(text.size() + 1);
    buffer.assign(text.begin(), text.end());
    buffer.push_back('\0');

    if (const char* tooDeep = findTooDeepElement(buffer.data()))
        throw CException(parseErrorMessage(text, static_cast<std::size_t>(tooDeep - buffer.data()),
                                           "elements nested too deeply"));

    // The document carries a sizeable static memory pool: not for the stack.
    auto document = std::make_unique<rapidxml::xml_document<char>>();
    try {
        document->parse<rapidxml::parse_default>(buffer.data());
    } catch (const rapidxml::parse_error& e) {
        // Lines are counted in the text as given: the parser has already
        // rewritten the buffer before the error position.
        const char* where = e.where<char>();
        const std::size_t offset =
            where != nullptr ? static_cast<std::size_t>(where - buffer.data()) : text.size();
        throw CException(parseErrorMessage(text, offset, e.what()));
    }
    parse(document.get());
}

void CConfigFile::parse(const rapidxml::xml_node<char>* document)
{
    TARVEL_ASSERT(document != nullptr);
    const rapidxml::xml_node<char>* root = document->first_node();
    while (root != nullptr &&
           !(root->type() == rapidxml::node_element && root->name_size() == 6 &&
             std::memcmp(root->name(), "config", 6) == 0))
        root = root->next_sibling();
    if (root == nullptr)
        throw CException("CConfigFile::parse(): no config element found");

    // A failed construction leaves the previous model in place.
    auto config = std::make_unique<Config>(root);
    mConfig = std::move(config);

    checkPools(mConfig.get());
    checkUniquePorts(mConfig.get());
    checkReqRouterAssignments(mConfig.get());
}

const Config& CConfigFile::model() const
{
    TARVEL_ASSERT(mConfig);
    return *mConfig;
}

void CConfigFile::getAppServers(const StringVector& ipList, AppServerCallback callback) const
{
    getPooledAppServers(ipList, [&](const std::string&, const std::string& host,
                                    unsigned short port, bool bind) { callback(host, port, bind); });
}

void CConfigFile::getPooledAppServers(const StringVector& ipList,
                                      PooledAppServerCallback callback) const
{
    // A host usually has a few addresses; a long list is hashed once.
    const std::unordered_set<std::string_view> listed(
        ipList.size() > 8 ? ipList.begin() : ipList.end(), ipList.end());
    auto isListed = [&](const std::string& host) {
        if (ipList.size() > 8)
            return listed.count(host) != 0;
        return std::find(ipList.begin(), ipList.end(), host) != ipList.end();
    };
    for (const auto& pool : model().pools().pools()) {
        for (const auto& entry : pool.second->appServers().servers()) {
            const AppServer& server = *entry.second;
            if (!isListed(server.host()))
                continue;
            server.forEachPort([&](unsigned short port) {
                callback(pool.second->name(), server.host(), port, server.bind());
            });
        }
    }
}

std::string CConfigFile::poolOf(const std::string& host, unsigned short port) const
{
    for (const auto& pool : model().pools().pools()) {
        for (const auto& entry : pool.second->appServers().servers()) {
            const AppServer& server = *entry.second;
            if (server.host() != host)
                continue;
            // A range may run either way ("8010-8001").
            for (const Parser::IntRange& range : server.portRanges())
                if (port >= std::min(range.first, range.last) &&
                    port <= std::max(range.first, range.last))
                    return pool.second->name();
        }
    }
    return "";
}

IPEndpoint CConfigFile::getRequestRouter(const std::string& name) const
{
    const RequestRouter* router = model().requestRouters().routerByName(name);
    return IPEndpoint(router->host(), router->port(), router->bind());
}

IPEndpoint CConfigFile::getMonitor(const std::string& name) const
{
    const RequestRouter* router = model().requestRouters().routerByName(name);
    return IPEndpoint(router->host(), router->monitorPort(), router->bind());
}

IPEndpoint CConfigFile::getMessageCenter(const std::string& name) const
{
    const RequestRouter* router = model().requestRouters().routerByName(name);
    if (router->mcPort() == 0)
        throw CException("Message center not found: " + name);
    return IPEndpoint(router->host(), router->mcPort(), router->bind());
}

namespace {

template <class PortOf>
IPEndpointVector routerEndpoints(const RequestRouters& routers, PortOf portOf)
{
    IPEndpointVector endpoints;
    for (const auto& entry : routers.routers()) {
        const RequestRouter& router = *entry.second;
        const unsigned short port = portOf(router);
        if (port != 0)
            endpoints.emplace_back(router.host(), port, router.bind());
    }
    return endpoints;
}

}  // namespace

IPEndpointVector CConfigFile::getRequestRouters() const
{
    return routerEndpoints(model().requestRouters(),
                           [](const RequestRouter& router) { return router.port(); });
}

IPEndpointVector CConfigFile::getMonitors() const
{
    return routerEndpoints(model().requestRouters(),
                           [](const RequestRouter& router) { return router.monitorPort(); });
}

IPEndpointVector CConfigFile::getMessageCenters() const
{
    return routerEndpoints(model().requestRouters(),
                           [](const RequestRouter& router) { return router.mcPort(); });
}

std::vector<const RequestRouter*> CConfigFile::getRequestRoutersByPoolName(const std::string& pool) const
{
    const Config& config = model();
    std::vector<const RequestRouter*> routers;
    for (const std::string& name : config.pools().poolByName(pool)->requestRouters().routerNames())
        routers.push_back(config.requestRouters().routerByName(name));
    return routers;
}

bool CConfigFile::isASPoolDBCacheEnabled(const IPEndpoint& endpoint) const
{
    return model().cacheServers().serverByAddr(endpoint)->enableCache();
}

}  // namespace XMLConfig
