#include "endpoints/Microhttpd.h"

#include <dlfcn.h>

#include <mutex>

namespace {

// Looks `name` up into `slot`; false with the loader's message when missing.
template <class Function>
bool Find(void* library, const char* name, Function& slot, std::string& reason)
{
    slot = reinterpret_cast<Function>(dlsym(library, name));
    if (slot == nullptr)
        reason = std::string("cannot find ") + name + " in " + TARVEL_MICROHTTPD_SONAME;
    return slot != nullptr;
}

bool Load(Microhttpd& api, std::string& reason)
{
    void* library = dlopen(TARVEL_MICROHTTPD_SONAME, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* why = dlerror();
        reason = std::string("cannot load ") + TARVEL_MICROHTTPD_SONAME + " (" + (why ? why : "unknown") + ")";
        return false;
    }
    return Find(library, "MHD_start_daemon", api.start_daemon, reason) &&
           Find(library, "MHD_stop_daemon", api.stop_daemon, reason) &&
           Find(library, "MHD_get_daemon_info", api.get_daemon_info, reason) &&
           Find(library, "MHD_add_connection", api.add_connection, reason) &&
           Find(library, "MHD_run", api.run, reason) &&
           Find(library, "MHD_get_timeout", api.get_timeout, reason) &&
           Find(library, "MHD_create_response_from_buffer", api.create_response_from_buffer, reason) &&
           Find(library, "MHD_create_response_from_buffer_with_free_callback_cls",
                api.create_response_with_free, reason) &&
           Find(library, "MHD_add_response_header", api.add_response_header, reason) &&
           Find(library, "MHD_queue_response", api.queue_response, reason) &&
           Find(library, "MHD_destroy_response", api.destroy_response, reason) &&
           Find(library, "MHD_get_connection_info", api.get_connection_info, reason) &&
           Find(library, "MHD_get_connection_values", api.get_connection_values, reason);
}

}  // namespace

const Microhttpd* LoadMicrohttpd(std::string& reason)
{
    static std::once_flag once;
    static Microhttpd api{};
    static const Microhttpd* loaded = nullptr;
    static std::string failure;
    std::call_once(once, [] { loaded = Load(api, failure) ? &api : nullptr; });
    reason = failure;
    return loaded;
}
