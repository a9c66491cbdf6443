#pragma once
// A one-thread HTTP/1.0-style server on 127.0.0.1 for the client tests: it answers
// every request with a canned status and body (optionally in separate writes) and
// records the request targets it saw. Runs only inside the test's network namespace.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class FakeHttpServer {
public:
    FakeHttpServer() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd_, 8);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~FakeHttpServer() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }

    void respond(int status, std::vector<std::string> chunks) {
        std::lock_guard<std::mutex> lock(m_);
        status_ = status;
        chunks_ = std::move(chunks);
    }
    void respond(int status, const std::string& body) { respond(status, std::vector<std::string>{body}); }

    // Answers by request target instead: the handler gives status and body.
    using Handler = std::function<std::pair<int, std::string>(const std::string& target)>;
    void route(Handler handler) {
        std::lock_guard<std::mutex> lock(m_);
        handler_ = std::move(handler);
    }

    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/cgi/u"; }
    std::vector<std::string> targets() {
        std::lock_guard<std::mutex> lock(m_);
        return targets_;
    }

private:
    void run() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            int c = ::accept(fd_, nullptr, nullptr);
            if (c < 0) continue;
            serve(c);
            ::close(c);
        }
    }
    void serve(int c) {
        std::string request;
        char buf[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
            pollfd p{c, POLLIN, 0};
            if (::poll(&p, 1, 2000) <= 0) return;
            ssize_t n = ::read(c, buf, sizeof buf);
            if (n <= 0) return;
            request.append(buf, static_cast<size_t>(n));
        }
        size_t sp1 = request.find(' ');
        size_t sp2 = request.find(' ', sp1 + 1);
        std::vector<std::string> chunks;
        int status;
        Handler handler;
        const std::string target = request.substr(sp1 + 1, sp2 - sp1 - 1);
        {
            std::lock_guard<std::mutex> lock(m_);
            targets_.push_back(target);
            chunks = chunks_;
            status = status_;
            handler = handler_;
        }
        if (handler) {
            auto [code, body] = handler(target);
            status = code;
            chunks = {body};
        }
        size_t total = 0;
        for (auto& ch : chunks) total += ch.size();
        std::string head = "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Length: " + std::to_string(total) +
                           "\r\nConnection: close\r\n\r\n";
        send_all(c, head);
        for (auto& ch : chunks) {
            send_all(c, ch);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    static void send_all(int c, const std::string& s) {
        size_t off = 0;
        while (off < s.size()) {
            ssize_t n = ::send(c, s.data() + off, s.size() - off, MSG_NOSIGNAL);
            if (n <= 0) return;
            off += static_cast<size_t>(n);
        }
    }

    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex m_;
    int status_ = 200;
    std::vector<std::string> chunks_{"ok\n"};
    Handler handler_;
    std::vector<std::string> targets_;
};
