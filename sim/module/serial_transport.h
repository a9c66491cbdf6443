// Serial transport: a pseudo-terminal whose far end a host opens as its serial
// port; packets travel in frames (COBS with a CRC-8, 0x00 delimited).
#pragma once
#include "sim/module/channel.h"
#include "sim/module/framing.h"
#include "sim/module/session.h"

#include <string>

namespace vmsim {

class SerialPort : public Channel {
public:
    SerialPort(SimModule& m, EventLog& log, Clock::time_point now);
    ~SerialPort() override;
    bool ok() const { return master_ >= 0; }
    const std::string& error() const { return error_; }
    const std::string& path() const { return path_; }
    int fd() const override { return master_; }
    short events() const override;
    void on_ready(short revents, Clock::time_point now) override;
    std::optional<Clock::time_point> deadline() const override { return session_.next_deadline(); }
    void on_time(Clock::time_point now) override;

private:
    void flush(Clock::time_point now);

    SimModule& m_;
    EventLog& log_;
    int master_ = -1;
    int slave_keep_ = -1; // held open so the line never hangs up between host sessions
    std::string path_, error_;
    FrameDecoder dec_;
    Session session_;
    std::vector<uint8_t> pending_;
};

} // namespace vmsim
