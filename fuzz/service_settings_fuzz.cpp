// tarvelsvc.conf: the INI reader, the key and value checks of [SERVICE] and
// the choice of the first problem by line.
#include <cstdint>
#include <string>

#include "config/ServiceSettings.h"
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
        const ServiceSettings settings = LoadServiceSettings(path);
        // What was taken holds the documented bounds.
        if (settings.startTimeout < 1 || settings.startTimeout > ServiceSettings::kMaxStartTimeout ||
            settings.livenessTimeout > settings.livenessInterval ||
            settings.livenessPath.empty() || settings.livenessPath[0] != '/' ||
            (settings.metricsListen.host.empty() != (settings.metricsListen.port == 0)))
            __builtin_trap();
    } catch (const CWIException&) {
        // Refused: the expected answer to most inputs.
    }
    return 0;
}
