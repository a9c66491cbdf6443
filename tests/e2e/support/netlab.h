// Test support for the virtual lab.
//
// SimProcess runs velmarine-sim with a lab description and waits (bounded) until it
// reports "ready"; it knows the endpoints the simulator printed and reads its event
// log. NetLab goes further: from inside the test's own private network namespace
// it makes two uniquely named namespaces joined by a veth pair, the host side
// (10.213.<n>.1, where the program under test runs) and the lab side (10.213.<n>.2,
// where the simulator runs). The host side is a namespace of its own rather than
// the test's, because tests run in parallel in the test's namespace: there they
// would share the discovery reply port and see each other's modules. Discovery
// from the host side therefore reaches this lab's modules and nothing else.
// Everything is torn down by the destructors, also when a test fails.
#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
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
    const std::string& host_address() const { return host_addr_; } // the host side's end
    const std::string& lab_address() const { return lab_addr_; }   // the simulator's end
    const std::string& lab_namespace() const { return lab_ns_; }
    const std::string& host_namespace() const { return host_ns_; }
    // Words to put before a command so that it runs on the host side
    // ("ip netns exec <host namespace>").
    std::vector<std::string> host_prefix() const { return {"ip", "netns", "exec", host_ns_}; }
    // Runs fn on a thread that has joined the host side's namespace: sockets it
    // opens live there. False when the namespace could not be joined.
    bool on_host_side(const std::function<void()>& fn) const;
    SimProcess& sim() { return *sim_; }

private:
    void teardown();

    std::string lab_ns_, host_ns_, host_addr_, lab_addr_, error_;
    bool lab_made_ = false, host_made_ = false;
    std::string veth_made_;
    std::unique_ptr<SimProcess> sim_;
};

} // namespace netlab
