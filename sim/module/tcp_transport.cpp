#include "sim/module/tcp_transport.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vmsim {

short Channel::events() const { return POLLIN; }

TcpListener::TcpListener(SimModule& m, EventLog& log) : m_(m), log_(log)
{
    if (open_port(m.config().port))
        return;
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool TcpListener::open_port(uint16_t port)
{
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) {
        error_ = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(port);
    socklen_t len = sizeof a;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        (!m_.config().mis.busy && ::listen(fd_, 8) != 0) ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        error_ = "port " + std::to_string(port) + ": " + std::strerror(errno);
        return false;
    }
    port_ = ntohs(a.sin_port);
    return true;
}

void TcpListener::pause(Clock::time_point until)
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    reopen_at_ = until;
    log_.log(m_.serial(), "tcp-port-closed");
}

void TcpListener::on_time(Clock::time_point now)
{
    if (!reopen_at_ || now < *reopen_at_)
        return;
    if (open_port(port_)) {
        reopen_at_.reset();
        log_.log(m_.serial(), "tcp-port-open");
        return;
    }
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    reopen_at_ = now + std::chrono::milliseconds(50);
}

TcpListener::~TcpListener()
{
    if (fd_ >= 0)
        ::close(fd_);
}

short TcpListener::events() const { return fd_ < 0 || m_.config().mis.busy ? 0 : POLLIN; }

void TcpListener::on_ready(short, Clock::time_point now)
{
    int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (c < 0)
        return;
    int one = 1;
    ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    log_.log(m_.serial(), "connect tcp");
    spawned.push_back(std::make_unique<TcpConnection>(c, m_, log_, now, this));
}

TcpConnection::TcpConnection(int fd, SimModule& m, EventLog& log, Clock::time_point now, TcpListener* listener)
    : fd_(fd), m_(m), listener_(listener), session_(m, log, now)
{
}

TcpConnection::~TcpConnection() { close_link(); }

void TcpConnection::close_link()
{
    if (fd_ < 0)
        return;
    session_.log_summary("tcp");
    ::close(fd_);
    fd_ = -1;
}

short TcpConnection::events() const { return static_cast<short>(POLLIN | (pending_.empty() ? 0 : POLLOUT)); }

void TcpConnection::on_ready(short revents, Clock::time_point now)
{
    if (revents & POLLIN) {
        uint8_t buf[4096];
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            close_link();
            return;
        }
        for (ssize_t i = 0; i < n && !session_.dropped(); ++i)
            if (auto p = asm_.feed(buf[i]))
                session_.receive(*p, now);
        if (auto restart = m_.take_restart(); restart && listener_)
            listener_->pause(now + std::chrono::milliseconds(restart->away_ms));
        if (session_.dropped()) {
            // The port is already closed when the module restarts, so the host
            // cannot slip a new connection in before it goes away.
            flush(now);
            close_link();
            return;
        }
    } else if (revents & (POLLERR | POLLHUP)) {
        close_link();
        return;
    }
    flush(now);
}

void TcpConnection::on_time(Clock::time_point now) { flush(now); }

void TcpConnection::flush(Clock::time_point now)
{
    if (fd_ < 0)
        return;
    for (auto& p : session_.due(now)) {
        auto w = p.wire();
        pending_.insert(pending_.end(), w.begin(), w.end());
    }
    while (!pending_.empty()) {
        ssize_t n = ::send(fd_, pending_.data(), pending_.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                return;
            close_link();
            return;
        }
        pending_.erase(pending_.begin(), pending_.begin() + n);
    }
}

} // namespace vmsim
