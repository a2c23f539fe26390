// The two forms in which -servers shows a table of server snapshots: aligned
// text lines and a JSON array.
#pragma once

#include <string>
#include <vector>

#include "appserver/ServerStatus.h"

// "HH:MM:SS" (or "Nd HH:MM:SS") for a number of seconds.
std::string FormatUptime(long seconds);

// `servers` ordered by pool name, each pool's servers in their given order:
// how -servers and the status page group them.
void GroupByPool(std::vector<ServerStatus>& servers);

// One line per server, in the given order, each column padded to the widest
// entry, each line ended by '\n'. A throttled server's state reads
// "throttled until HH:MM:SS". The pool column follows the address; a server
// that said it stops ends with "stopping notified", one that sent a
// STATUS= with `status: "<text>"`.
std::string FormatServerTable(const std::vector<ServerStatus>& servers);
// A JSON array of objects with the keys address, port, pid, state,
// throttled_until, uptime_s, restarts, last_end, last_end_time, ready,
// ready_s, probe_failures, pool (left out when the server has none), with
// contained trees containment, processes, memory_bytes and cpu_seconds,
// and, for a server that gets the notification socket, stopping_notified
// and status_text (null when none); one object per line.
std::string FormatServerJson(const std::vector<ServerStatus>& servers);
// `text` as a JSON string literal, quotes included.
std::string JsonString(const std::string& text);
