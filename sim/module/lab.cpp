#include "sim/module/lab.h"

#include "sim/module/discovery.h"
#include "sim/module/serial_transport.h"
#include "sim/module/tcp_transport.h"

#include <algorithm>
#include <poll.h>

namespace vmsim {

Lab::Lab(const LabConfig& cfg) : cfg_(cfg)
{
    for (auto& m : cfg_.modules) {
        ModuleConfig mc = m;
        if (!cfg_.flash_dir.empty())
            mc.flash_dir = cfg_.flash_dir;
        modules_.push_back(std::make_unique<SimModule>(mc, log_));
    }
    for (auto& m : modules_)
        if (m->config().role == Role::Bus)
            if (SimModule* r = module(m->config().parent))
                r->attach(m.get());
}

SimModule* Lab::module(uint32_t serial) const
{
    for (auto& m : modules_)
        if (m->serial() == serial)
            return m.get();
    return nullptr;
}

bool Lab::start(std::FILE* out)
{
    if (!cfg_.events_path.empty() && !log_.open(cfg_.events_path)) {
        error_ = "cannot write the event log " + cfg_.events_path;
        return false;
    }
    const auto now = Clock::now();
    std::vector<DiscoveryEntry> tcp;
    for (auto& m : modules_) {
        const auto& c = m->config();
        if (c.transport == Transport::Tcp) {
            auto l = std::make_unique<TcpListener>(*m, log_);
            if (!l->ok()) {
                error_ = l->error();
                return false;
            }
            std::fprintf(out, "tcp %08X %u\n", c.serial, l->port());
            tcp.push_back({m.get(), l->port()});
            channels_.push_back(std::move(l));
        } else if (c.transport == Transport::Serial) {
            auto s = std::make_unique<SerialPort>(*m, log_, now);
            if (!s->ok()) {
                error_ = s->error();
                return false;
            }
            std::fprintf(out, "serial %08X %s\n", c.serial, s->path().c_str());
            channels_.push_back(std::move(s));
        } else if (c.role == Role::Bus) {
            std::fprintf(out, "bus %08X %08X 0x%02X\n", c.serial, c.parent, c.address);
        }
    }
    if (cfg_.discovery && !tcp.empty()) {
        auto d = std::make_unique<DiscoveryResponder>(cfg_.discovery_port, std::move(tcp), log_);
        if (!d->ok()) {
            error_ = d->error();
            return false;
        }
        std::fprintf(out, "discovery %u\n", cfg_.discovery_port);
        channels_.push_back(std::move(d));
    }
    std::fprintf(out, "ready\n");
    std::fflush(out);
    return true;
}

void Lab::run(const std::atomic<bool>& stop)
{
    std::vector<pollfd> fds;
    while (!stop.load()) {
        auto now = Clock::now();
        // The stop flag is looked at at least every 100 ms.
        auto wake = now + std::chrono::milliseconds(100);
        fds.clear();
        for (auto& c : channels_) {
            short ev = c->events();
            fds.push_back(pollfd{ev ? c->fd() : -1, ev, 0});
            if (auto d = c->deadline())
                wake = std::min(wake, *d);
        }
        auto ms = std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();
        int n = ::poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(ms, 0)));
        now = Clock::now();
        std::vector<std::unique_ptr<Channel>> born;
        for (std::size_t i = 0; i < channels_.size(); ++i) {
            Channel& c = *channels_[i];
            if (n > 0 && fds[i].revents)
                c.on_ready(fds[i].revents, now);
            if (auto d = c.deadline(); d && *d <= now)
                c.on_time(now);
            for (auto& s : c.spawned)
                born.push_back(std::move(s));
            c.spawned.clear();
        }
        std::erase_if(channels_, [](const std::unique_ptr<Channel>& c) { return c->closed(); });
        for (auto& b : born)
            channels_.push_back(std::move(b));
    }
}

} // namespace vmsim
