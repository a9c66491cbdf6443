#pragma once
// A scripted module on the far end of a real transport (TCP on loopback, or
// the master side of a pseudo-terminal with framed packets). It has its own
// small framing code so that it cannot share a mistake with the library.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace peer {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

inline uint8_t crc8maxim(const Bytes& data)
{
    uint8_t crc = 0;
    for (uint8_t b : data) {
        crc ^= b;
        for (int i = 0; i < 8; ++i)
            crc = (crc & 1) ? static_cast<uint8_t>((crc >> 1) ^ 0x8C) : static_cast<uint8_t>(crc >> 1);
    }
    return crc;
}

// Frames are short (< 254 bytes), so one code byte per zero-free run.
inline Bytes frame(const Bytes& wire)
{
    Bytes raw = wire;
    raw.push_back(crc8maxim(wire));
    Bytes out;
    Bytes run;
    for (uint8_t b : raw) {
        if (b == 0) {
            out.push_back(static_cast<uint8_t>(run.size() + 1));
            out.insert(out.end(), run.begin(), run.end());
            run.clear();
        } else {
            run.push_back(b);
        }
    }
    out.push_back(static_cast<uint8_t>(run.size() + 1));
    out.insert(out.end(), run.begin(), run.end());
    out.push_back(0);
    return out;
}

// Decodes one frame without its delimiter; empty when it is damaged.
inline Bytes unframe(const Bytes& enc)
{
    Bytes out;
    size_t i = 0;
    while (i < enc.size()) {
        uint8_t code = enc[i++];
        if (code == 0 || i + code - 1 > enc.size())
            return {};
        out.insert(out.end(), enc.begin() + i, enc.begin() + i + code - 1);
        i += code - 1;
        if (code < 0xFF && i < enc.size())
            out.push_back(0);
    }
    if (out.size() < 3 || crc8maxim(Bytes(out.begin(), out.end() - 1)) != out.back())
        return {};
    out.pop_back();
    return out;
}

class Module {
public:
    // Replies to one received packet (wire form); empty for none.
    using Responder = std::function<std::vector<Bytes>(const Bytes&)>;

    static Module* tcp()
    {
        auto* m = new Module;
        m->listenFd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int one = 1;
        setsockopt(m->listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        bind(m->listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(m->listenFd_, 4);
        socklen_t len = sizeof a;
        getsockname(m->listenFd_, reinterpret_cast<sockaddr*>(&a), &len);
        m->port_ = ntohs(a.sin_port);
        m->start();
        return m;
    }

    static Module* pty()
    {
        auto* m = new Module;
        m->framed_ = true;
        int master = -1, slave = -1;
        char name[256] = {0};
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
            return m;
        termios t{};
        tcgetattr(master, &t);
        cfmakeraw(&t);
        tcsetattr(master, TCSANOW, &t);
        m->fd_ = master;
        m->slaveFd_ = slave;  // kept open so the line never hangs up under the link
        m->ptyName_ = name;
        m->start();
        return m;
    }

    ~Module()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        for (int fd : {fd_, listenFd_, slaveFd_})
            if (fd >= 0)
                close(fd);
    }

    uint16_t port() const { return port_; }
    const std::string& ptyName() const { return ptyName_; }
    uint32_t loopback() const { return htonl(INADDR_LOOPBACK); }

    void setResponder(Responder r)
    {
        std::lock_guard<std::mutex> l(m_);
        responder_ = std::move(r);
    }
    void setAnswerSync(bool on) { answerSync_ = on; }
    // Addresses the sync answers come from, in turn (a confused bus).
    void setSyncAddresses(std::vector<uint8_t> addresses)
    {
        std::lock_guard<std::mutex> l(m_);
        syncAddresses_ = std::move(addresses);
        syncTurn_ = 0;
    }

    // Sends one packet (framed on a pseudo-terminal) or raw bytes.
    void sendPacket(const Bytes& wire) { writeAll(framed_ ? frame(wire) : wire); }
    void sendRaw(const Bytes& raw) { writeAll(raw); }

    // Every byte the module received, and the packets it parsed from them.
    Bytes received()
    {
        std::lock_guard<std::mutex> l(m_);
        return rx_;
    }
    std::vector<Bytes> packets()
    {
        std::lock_guard<std::mutex> l(m_);
        return packets_;
    }
    void clear()
    {
        std::lock_guard<std::mutex> l(m_);
        rx_.clear();
        packets_.clear();
    }
    int connections() const { return connections_; }

    // Waits until pred(packets) holds; bounded.
    bool waitPackets(const std::function<bool(const std::vector<Bytes>&)>& pred, int ms = 3000)
    {
        std::unique_lock<std::mutex> l(m_);
        return cv_.wait_for(l, std::chrono::milliseconds(ms), [&] { return pred(packets_); });
    }

    // Drops the TCP connection with a reset, as a module that reboots would.
    void dropConnection()
    {
        std::lock_guard<std::mutex> l(fdMutex_);
        if (fd_ < 0)
            return;
        linger lg{1, 0};
        setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        close(fd_);
        fd_ = -1;
        std::lock_guard<std::mutex> l2(m_);
        pending_.clear();
    }

private:
    void start() { thread_ = std::thread([this] { run(); }); }

    void writeAll(const Bytes& b)
    {
        std::lock_guard<std::mutex> l(fdMutex_);
        size_t off = 0;
        while (fd_ >= 0 && off < b.size()) {
            ssize_t n = write(fd_, b.data() + off, b.size() - off);
            if (n <= 0)
                return;
            off += static_cast<size_t>(n);
        }
    }

    void run()
    {
        while (!stop_) {
            int fd;
            {
                std::lock_guard<std::mutex> l(fdMutex_);
                fd = fd_;
            }
            if (fd < 0 && listenFd_ >= 0) {
                pollfd p{listenFd_, POLLIN, 0};
                if (poll(&p, 1, 20) > 0) {
                    int c = accept(listenFd_, nullptr, nullptr);
                    int one = 1;
                    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    std::lock_guard<std::mutex> l(fdMutex_);
                    fd_ = c;
                    ++connections_;
                }
                continue;
            }
            if (fd < 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            uint8_t buf[4096];
            ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0) {
                if (!framed_) {
                    std::lock_guard<std::mutex> l(fdMutex_);
                    if (fd_ == fd) {
                        close(fd_);
                        fd_ = -1;
                    }
                }
                continue;
            }
            feed(Bytes(buf, buf + n));
        }
    }

    void feed(const Bytes& in)
    {
        std::vector<Bytes> replies;
        {
            std::lock_guard<std::mutex> l(m_);
            rx_.insert(rx_.end(), in.begin(), in.end());
            for (uint8_t b : in) {
                pending_.push_back(b);
                Bytes packet;
                if (framed_) {
                    if (b != 0)
                        continue;
                    pending_.pop_back();
                    packet = unframe(pending_);
                    pending_.clear();
                    if (packet.empty())
                        continue;
                } else {
                    if (pending_.size() < 2 || pending_.size() < size_t(pending_[1]) + 2)
                        continue;
                    packet = pending_;
                    pending_.clear();
                }
                packets_.push_back(packet);
                if (packet[0] == 0xAD) {
                    if (answerSync_)
                        replies.push_back({syncAddresses_[syncTurn_++ % syncAddresses_.size()], 0x00});
                } else if (responder_) {
                    for (auto& r : responder_(packet))
                        replies.push_back(r);
                }
            }
        }
        cv_.notify_all();
        for (auto& r : replies)
            sendPacket(r);
    }

    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex fdMutex_;
    int fd_ = -1;
    int listenFd_ = -1;
    int slaveFd_ = -1;
    uint16_t port_ = 0;
    std::string ptyName_;
    bool framed_ = false;
    std::atomic<bool> answerSync_{true};
    std::atomic<int> connections_{0};

    std::mutex m_;
    std::condition_variable cv_;
    Bytes rx_;
    Bytes pending_;
    std::vector<Bytes> packets_;
    Responder responder_;
    std::vector<uint8_t> syncAddresses_{0x02};
    size_t syncTurn_ = 0;
};

} // namespace peer
