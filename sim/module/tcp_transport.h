// TCP/IP transport: one listening port per module; each accepted connection is a
// link carrying packets in plain wire form.
#pragma once
#include "sim/module/channel.h"
#include "sim/module/session.h"

#include <string>

namespace vmsim {

class TcpListener : public Channel {
public:
    // Binds the module's port (0: any) on all addresses. A busy module keeps the
    // port bound but never listens, so connections are refused.
    TcpListener(SimModule& m, EventLog& log);
    ~TcpListener() override;
    bool ok() const { return fd_ >= 0; }
    const std::string& error() const { return error_; }
    uint16_t port() const { return port_; }
    int fd() const override { return fd_; }
    short events() const override;
    void on_ready(short revents, Clock::time_point now) override;
    // A rebooting module's network is down: the port refuses connections until
    // `until`, so a host that reconnects at once learns that the module went away.
    void pause(Clock::time_point until);
    std::optional<Clock::time_point> deadline() const override { return reopen_at_; }
    void on_time(Clock::time_point now) override;

private:
    bool open_port(uint16_t port);

    SimModule& m_;
    EventLog& log_;
    int fd_ = -1;
    uint16_t port_ = 0;
    std::optional<Clock::time_point> reopen_at_;
    std::string error_;
};

class TcpConnection : public Channel {
public:
    TcpConnection(int fd, SimModule& m, EventLog& log, Clock::time_point now, TcpListener* listener = nullptr);
    ~TcpConnection() override;
    int fd() const override { return fd_; }
    short events() const override;
    void on_ready(short revents, Clock::time_point now) override;
    std::optional<Clock::time_point> deadline() const override { return session_.next_deadline(); }
    void on_time(Clock::time_point now) override;
    bool closed() const override { return fd_ < 0; }

private:
    void flush(Clock::time_point now);
    void close_link();

    int fd_;
    SimModule& m_;
    TcpListener* listener_; // the port it came in on; outlives the connection
    Assembler asm_;
    Session session_;
    std::vector<uint8_t> pending_;
};

} // namespace vmsim
