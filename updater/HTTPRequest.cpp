#include "updater/HTTPRequest.h"

#include <curl/curl.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "app/Log.h"

namespace {

struct Transfer {
    HTTPResponse* response;
    CURL* curl;
    bool sized;
};

// Bodies larger than this are not reserved ahead from the announced length.
constexpr curl_off_t kMaxReserve = curl_off_t(1) << 30;

size_t rcv_data(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    HTTPResponse* response = transfer->response;
    const size_t total = size * count;
    if (!transfer->sized) {
        transfer->sized = true;
        curl_off_t announced = -1;
        if (curl_easy_getinfo(transfer->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) == CURLE_OK &&
            announced > 0 && announced <= kMaxReserve)
            response->reserve(static_cast<size_t>(announced));
    }
    Log::log(Log::DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.100s]\n", static_cast<int>(size),
             static_cast<int>(count), static_cast<unsigned>(reinterpret_cast<uintptr_t>(response)),
             std::string(data, total < 100 ? total : 100).c_str());
    response->process(data, total);
    Log::log(Log::DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(total));
    return total;
}

long seconds_from_environment(const char* name, long fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (*end != '\0' || value <= 0) return fallback;
    return value;
}

struct EasyDeleter {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};

}  // namespace

long HTTPRequest::ConnectTimeoutSeconds() {
    return seconds_from_environment("UPDATER_HTTP_CONNECT_TIMEOUT", DEFAULT_CONNECT_TIMEOUT_SECONDS);
}

long HTTPRequest::StallTimeSeconds() {
    return seconds_from_environment("UPDATER_HTTP_STALL_TIME", DEFAULT_STALL_TIME_SECONDS);
}

std::string HTTPRequest::BuildURL(const std::string& url, const Parameters& parameters) {
    std::string full = url;
    if (!parameters.empty()) {
        full += "?";
        for (const auto& [key, value] : parameters) full += key + "=" + value + "&";
    }
    return full;
}

HTTPResponse HTTPRequest::GET(const std::string& url, const Parameters& parameters) {
    std::unique_ptr<CURL, EasyDeleter> curl(curl_easy_init());
    const std::string full = BuildURL(url, parameters);
    HTTPResponse response(full);
    if (!curl) throw std::runtime_error("Could not create curl instance");

    CURL* h = curl.get();
    Transfer transfer{&response, h, false};
    CURLcode rc = curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, rcv_data);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_URL, full.c_str());
    // Peer and host verification stay on: firmware must come from the server it
    // claims to come from. Plain HTTP URLs are unaffected.
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    // Without limits a server that stops answering would leave the user watching
    // the spinner forever.
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, ConnectTimeoutSeconds());
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, StallTimeSeconds());
    // A worker thread performs downloads; signals must not be used for time-outs.
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    if (rc == CURLE_OK) {
        Log::log(Log::DEBUG_ServerComm, "GET(%s)\n", full.c_str());
        rc = curl_easy_perform(h);
    }
    long code = 0;
    if (rc == CURLE_OK) rc = curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code);
    if (rc != CURLE_OK) throw std::runtime_error(curl_easy_strerror(rc));
    response.set_status(code);
    return response;
}
