#pragma once
// The protocol side of the server: from the query parameters of one "/cgi/u" request
// to the status and body the updater expects.
#include <map>
#include <string>

#include "tools/update_server/catalog.h"

namespace update_server {

struct Reply {
    int status = 200;
    std::string body;
    std::string op;  // the operation asked for, for logging and fault selection
};

Reply answer(const Catalog& catalog, const std::multimap<std::string, std::string>& params);

std::string base64(const std::string& bytes);

}  // namespace update_server
