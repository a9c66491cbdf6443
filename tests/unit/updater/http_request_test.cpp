#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "tests/unit/updater/http_fake_server.h"
#include "updater/HTTPRequest.h"

namespace {

TEST(HttpRequest, QueryInKeyOrderWithTrailingAmpersand) {
    FakeHttpServer server;
    server.respond(200, "ok\n");
    HTTPResponse r = HTTPRequest::GET(server.url(), {{"rv", "2"}, {"op", "hi"}});
    EXPECT_EQ(r.get_request(), server.url() + "?op=hi&rv=2&");
    EXPECT_EQ(r.get_status(), 200);
    EXPECT_EQ(r.get_response(), "ok\n");

    HTTPRequest::GET(server.url(), {});
    ASSERT_EQ(server.targets().size(), 2u);
    EXPECT_EQ(server.targets()[0], "/cgi/u?op=hi&rv=2&");
    EXPECT_EQ(server.targets()[1], "/cgi/u") << "no parameters: no question mark";
}

TEST(HttpRequest, ErrorStatusIsANormalReturnAndChunksArriveInOrder) {
    FakeHttpServer server;
    server.respond(404, std::vector<std::string>{"not ", "here", "\n"});
    HTTPResponse r = HTTPRequest::GET(server.url(), {});
    EXPECT_EQ(r.get_status(), 404);
    EXPECT_EQ(r.get_response(), "not here\n");
}

int unused_loopback_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

TEST(HttpRequest, RefusedConnectionThrowsCurlText) {
    std::string url = "http://127.0.0.1:" + std::to_string(unused_loopback_port()) + "/cgi/u";
    try {
        HTTPRequest::GET(url, {{"op", "hi"}});
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Couldn't connect to server");
    }
}

// A server that accepts, sends headers and a little body, then goes silent.
TEST(HttpRequest, StalledTransferEndsAsTransportFailure) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ::listen(fd, 1);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    std::thread silent([fd] {
        int c = ::accept(fd, nullptr, nullptr);
        const char head[] = "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nok\n";
        ::send(c, head, sizeof head - 1, MSG_NOSIGNAL);
        char b[512];
        while (::read(c, b, sizeof b) > 0) {
        }  // until the client gives up and closes
        ::close(c);
    });
    ::setenv("UPDATER_HTTP_STALL_TIME", "2", 1);
    auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(HTTPRequest::GET("http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/cgi/u", {}),
                 std::runtime_error);
    ::unsetenv("UPDATER_HTTP_STALL_TIME");
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(1500)) << "ended before the stall limit: not a stall";
    EXPECT_LT(took, std::chrono::seconds(20));
    silent.join();
    ::close(fd);
}

TEST(HttpRequest, LimitsFromEnvironmentOnlyWhenPositiveNumbers) {
    ::setenv("UPDATER_HTTP_STALL_TIME", "7", 1);
    EXPECT_EQ(HTTPRequest::StallTimeSeconds(), 7);
    for (const char* bad : {"0", "-3", "5s", ""}) {
        ::setenv("UPDATER_HTTP_STALL_TIME", bad, 1);
        EXPECT_EQ(HTTPRequest::StallTimeSeconds(), HTTPRequest::DEFAULT_STALL_TIME_SECONDS) << bad;
    }
    ::unsetenv("UPDATER_HTTP_STALL_TIME");
    EXPECT_EQ(HTTPRequest::ConnectTimeoutSeconds(), HTTPRequest::DEFAULT_CONNECT_TIMEOUT_SECONDS);
}

}  // namespace
