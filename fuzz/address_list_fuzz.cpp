// The address list of -iplist and TARVEL_IPLIST: the word splitter and the
// manager's checks of every word. Names resolve only when they are numeric
// addresses or localhost; nothing leaves the host.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "appserver/AppServerManager.h"
#include "foundation/Exceptions.h"
#include "foundation/SplitWords.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    // The list is a C string: the text ends at the first NUL.
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string list = text.substr(0, text.find('\0'));

    for (const std::string& word : SplitWords(list, " \t,"))
        if (word.empty() || word.find_first_of(" \t,") != std::string::npos)
            std::abort();

    static CAppServerManager* manager = new CAppServerManager;
    try {
        manager->setIPList(list.c_str());
    } catch (const CException&) {
    }
    return 0;
}
