#pragma once
// What one GET brought back: the URL as sent, the status and the body.
#include <cstddef>
#include <string>

class HTTPResponse {
public:
    explicit HTTPResponse(std::string request = {}) : request(std::move(request)) {}

    const std::string& get_request() const { return request; }
    long get_status() const { return status; }
    // Non-const: the protocol layer splits the body in place.
    std::string& get_response() { return response; }
    const std::string& get_response() const { return response; }

    void process(const char* data, size_t length) { response.append(data, length); }
    // Room for a body of announced size, so a large download is not grown by doubling.
    void reserve(size_t length) { response.reserve(length); }
    void set_status(long code) { status = code; }

private:
    std::string request;
    long status = 0;
    std::string response;
};
