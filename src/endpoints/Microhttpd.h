// libmicrohttpd, loaded when the metrics endpoint is first opened: a daemon
// without the endpoint, and the controller, never map it nor the TLS chain
// it pulls in. Only the functions the endpoint calls are looked up.
#pragma once

#include <microhttpd.h>

#include <string>

struct Microhttpd {
    decltype(&MHD_start_daemon) start_daemon;
    decltype(&MHD_stop_daemon) stop_daemon;
    decltype(&MHD_get_daemon_info) get_daemon_info;
    decltype(&MHD_add_connection) add_connection;
    decltype(&MHD_run) run;
    decltype(&MHD_get_timeout) get_timeout;
    decltype(&MHD_create_response_from_buffer) create_response_from_buffer;
    decltype(&MHD_create_response_from_buffer_with_free_callback_cls) create_response_with_free;
    decltype(&MHD_add_response_header) add_response_header;
    decltype(&MHD_queue_response) queue_response;
    decltype(&MHD_destroy_response) destroy_response;
    decltype(&MHD_get_connection_info) get_connection_info;
    decltype(&MHD_get_connection_values) get_connection_values;
};

// Returns the library's functions, loading it on the first call; nullptr
// with `reason` (the loader's message) when it or a function is missing.
// The library stays loaded for the life of the process.
const Microhttpd* LoadMicrohttpd(std::string& reason);
