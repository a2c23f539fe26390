// WebInterface.conf: the INI parser, the key and section checks (section
// names are classified through the resolver, which here never leaves the
// host), and the typed reads the service and the servers make.
#include <cstdint>
#include <string>

#include "config/ConfigFile.h"
#include "foundation/Exceptions.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string path = fuzz::asFile(data, size);
    try {
        CConfig config(path.c_str());
        // Each typed read allocates a line buffer; a bounded number of them
        // keeps an input with thousands of keys from slowing the run down.
        int reads = 64;
        for (const std::string& section : config.iniFile().getSections()) {
            config.determineSectionType(section);
            for (const std::string& key : config.iniFile().getKeys(section)) {
                if (--reads < 0)
                    break;
                try {
                    config.getStringList(section, key);
                    config.getBoolean(section, key);
                } catch (const CWIException&) {
                }
                try {
                    config.getIntList(section, key);
                } catch (const CWIException&) {
                }
                try {
                    config.getInt(section, key);
                } catch (const CWIException&) {
                }
            }
        }
        for (const char* key : {"OPTIONS", "MAXREQUEST", "TIMEOUT", "KEEPALIVE", "COOKIES"}) {
            try {
                config.getString("GLOBAL", key);
                config.getInt("GLOBAL", key);
            } catch (const CWIException&) {
            }
        }
    } catch (const CWIException&) {
        // An unreadable file; content problems are only logged.
    }
    return 0;
}
