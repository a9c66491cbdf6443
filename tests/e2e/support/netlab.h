// Test support for the virtual lab.
//
// SimProcess runs velmarine-sim with a lab description and waits (bounded) until it
// reports "ready"; it knows the endpoints the simulator printed and reads its event
// log. NetLab goes further: inside the test's own private network namespace it
// makes a second, uniquely named namespace joined to the first by a veth pair
// (10.213.<n>.1 on the test's side, 10.213.<n>.2 on the lab's side) and runs the
// simulator there, so discovery requests from the test's side reach it and nothing
// else. Everything is torn down by the destructors, also when a test fails.
#pragma once
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace netlab {

using std::chrono::milliseconds;

// Path of the simulator program: $VELMARINE_SIM, or the one in this build tree.
std::string sim_binary();

// Runs a program to completion (stdout and stderr discarded) and returns its exit
// status, or -1 when it could not be run or took longer than the time-out (it is
// killed then).
int run(const std::vector<std::string>& argv, milliseconds timeout = milliseconds(10000));

class SimProcess {
public:
    // prefix: words put before the simulator's path (for instance "ip netns exec NS").
    // extra_args: further simulator arguments (for instance "--no-discovery").
    SimProcess(const std::string& lab_description, const std::vector<std::string>& prefix = {},
               const std::vector<std::string>& extra_args = {}, milliseconds ready_timeout = milliseconds(10000));
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    bool ready() const { return ready_; }
    const std::string& error() const { return error_; }
    // Endpoint lines as printed ("tcp 40F5849A 9100", ...), without "ready".
    const std::vector<std::string>& endpoints() const { return endpoints_; }
    std::optional<uint16_t> tcp_port(uint32_t serial) const;
    std::optional<std::string> serial_path(uint32_t serial) const;

    const std::string& events_path() const { return events_path_; }
    std::vector<std::string> events() const;
    // Events of one module with the serial-number prefix removed ("set 20 1", ...).
    std::vector<std::string> events_of(uint32_t serial) const;
    // Waits until an event line contains the text; false after the time-out.
    bool wait_event(const std::string& text, milliseconds timeout) const;
    // Stops the simulator now (SIGTERM, then SIGKILL after a bounded wait).
    void stop();

private:
    std::string dir_, events_path_, error_;
    std::vector<std::string> endpoints_;
    int pid_ = -1;
    bool ready_ = false;
};

class NetLab {
public:
    explicit NetLab(const std::string& lab_description, const std::vector<std::string>& extra_args = {},
                    milliseconds ready_timeout = milliseconds(10000));
    ~NetLab();
    NetLab(const NetLab&) = delete;
    NetLab& operator=(const NetLab&) = delete;

    bool ok() const { return sim_ && sim_->ready(); }
    const std::string& error() const { return error_; }
    const std::string& host_address() const { return host_addr_; } // the test's end
    const std::string& lab_address() const { return lab_addr_; }   // the simulator's end
    const std::string& namespace_name() const { return ns_; }
    SimProcess& sim() { return *sim_; }

private:
    void teardown();

    std::string ns_, host_veth_, host_addr_, lab_addr_, error_;
    bool ns_made_ = false, veth_made_ = false;
    std::unique_ptr<SimProcess> sim_;
};

} // namespace netlab
