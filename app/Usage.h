#pragma once
// The version and copyright lines and the usage text.
#include <string>

#include "app/UpdaterDisplayInterface.h"

void _display_app_version(UpdaterDisplayInterface& display);
void _display_copyright(UpdaterDisplayInterface& display);

// Writes the usage text to standard error: block 1 always, blocks 2 and 4 when `full`,
// block 3 (the extended options) only when `full` and `extended` are both set.
void _display_usage(bool extended, bool full);

// The usage text as _display_usage writes it.
std::string _usage_text(bool extended, bool full);

// "host:port" of an update-server URL, with the scheme's default port when none is given.
std::string _server_host_port(const std::string& url);
