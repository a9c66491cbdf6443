#pragma once
// One HTTP GET with query parameters, returning status and whole body.
#include <map>
#include <string>

#include "updater/HTTPResponse.h"

class HTTPRequest {
public:
    using Parameters = std::map<std::string, std::string>;

    // Throws std::runtime_error on any transport failure (no handle, host not found,
    // refused, TLS failure, connect time-out, stalled transfer). Every HTTP status,
    // 200 or not, is a normal return.
    static HTTPResponse GET(const std::string& url, const Parameters& parameters);

    // The URL as sent: url, then "?key=value&" for each parameter in key order; no
    // escaping, the trailing "&" stays.
    static std::string BuildURL(const std::string& url, const Parameters& parameters);

    // Transport limits. A connection that is not up within the connect time-out, or a
    // transfer that receives less than one byte per second for the stall time, is a
    // transport failure. UPDATER_HTTP_CONNECT_TIMEOUT and UPDATER_HTTP_STALL_TIME
    // (seconds, positive integers) override the defaults.
    static constexpr long DEFAULT_CONNECT_TIMEOUT_SECONDS = 30;
    static constexpr long DEFAULT_STALL_TIME_SECONDS = 60;
    static long ConnectTimeoutSeconds();
    static long StallTimeSeconds();
};
