#include "tests/e2e/support/netlab.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <random>
#include <sstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace netlab {

namespace {

using Clock = std::chrono::steady_clock;

// Starts argv with stdout to out_fd (or /dev/null when -1) and stderr to err_path
// (or /dev/null). The child dies with the test process.
int spawn(const std::vector<std::string>& argv, int out_fd, const std::string& err_path)
{
    std::vector<char*> args;
    for (auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const char* errp = err_path.empty() ? "/dev/null" : err_path.c_str();
    pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    int null_fd = ::open("/dev/null", O_RDWR);
    int err_fd = ::open(errp, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(null_fd, 0);
    ::dup2(out_fd >= 0 ? out_fd : null_fd, 1);
    ::dup2(err_fd >= 0 ? err_fd : null_fd, 2);
    ::execvp(args[0], args.data());
    ::_exit(127);
}

// Waits for the child up to the time-out; kills it after that. Exit status or -1.
int reap(int pid, milliseconds timeout)
{
    auto end = Clock::now() + timeout;
    int status = 0;
    for (;;) {
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (r < 0)
            return -1;
        if (Clock::now() >= end) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(milliseconds(5));
    }
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> words(const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> w;
    std::string s;
    while (in >> s)
        w.push_back(s);
    return w;
}

std::string hex8(uint32_t v)
{
    char b[9];
    std::snprintf(b, sizeof b, "%08X", v);
    return b;
}

// Refuses to touch the network unless this process sits in a private namespace
// made for tests: the marker of scripts/netns.sh is set and the only interfaces
// are loopback and veth pairs of labs being set up.
std::string unsafe_reason()
{
    const char* mark = std::getenv("VELMARINE_IN_NETNS");
    if (!mark || std::string(mark) != "1")
        return "not inside a private network namespace (run through scripts/netns.sh)";
    // The interface list comes from the kernel for this process's own namespace
    // (/sys may still show another one).
    struct if_nameindex* names = ::if_nameindex();
    if (!names)
        return "cannot list network interfaces";
    std::string reason;
    for (auto* i = names; i->if_index && reason.empty(); ++i) {
        std::string n = i->if_name;
        if (n != "lo" && n.rfind("vl", 0) != 0)
            reason = "interface " + n + " present: this is not a private test namespace";
    }
    ::if_freenameindex(names);
    return reason;
}

} // namespace

std::string sim_binary()
{
    if (const char* p = std::getenv("VELMARINE_SIM"))
        return p;
#ifdef TEST_BINARY_DIR
    return std::string(TEST_BINARY_DIR) + "/sim/module/velmarine-sim";
#else
    return "velmarine-sim";
#endif
}

int run(const std::vector<std::string>& argv, milliseconds timeout)
{
    int pid = spawn(argv, -1, "");
    return pid < 0 ? -1 : reap(pid, timeout);
}

SimProcess::SimProcess(const std::string& lab_description, const std::vector<std::string>& prefix,
                       const std::vector<std::string>& extra_args, milliseconds ready_timeout)
{
    char tmpl[] = "/tmp/vmlab-XXXXXX";
    if (!::mkdtemp(tmpl)) {
        error_ = "mkdtemp failed";
        return;
    }
    dir_ = tmpl;
    events_path_ = dir_ + "/events.log";
    {
        std::ofstream cfg(dir_ + "/lab.conf");
        cfg << lab_description << "\n";
    }
    std::vector<std::string> argv = prefix;
    argv.push_back(sim_binary());
    argv.insert(argv.end(), {"--config", dir_ + "/lab.conf", "--events", events_path_});
    argv.insert(argv.end(), extra_args.begin(), extra_args.end());

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        error_ = "pipe failed";
        return;
    }
    pid_ = spawn(argv, fds[1], dir_ + "/stderr.txt");
    ::close(fds[1]);
    if (pid_ < 0) {
        ::close(fds[0]);
        error_ = "fork failed";
        return;
    }

    // Endpoint lines, then "ready"; the simulator writes nothing more to stdout.
    std::string buf;
    auto end = Clock::now() + ready_timeout;
    while (!ready_) {
        auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now()).count();
        if (left <= 0) {
            error_ = "simulator not ready within " + std::to_string(ready_timeout.count()) + " ms";
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0)
            continue;
        char chunk[512];
        ssize_t n = ::read(fds[0], chunk, sizeof chunk);
        if (n <= 0) {
            error_ = "simulator ended before it was ready: " + read_file(dir_ + "/stderr.txt");
            break;
        }
        buf.append(chunk, static_cast<std::size_t>(n));
        std::size_t nl;
        while ((nl = buf.find('\n')) != std::string::npos) {
            std::string line = buf.substr(0, nl);
            buf.erase(0, nl + 1);
            if (line == "ready")
                ready_ = true;
            else
                endpoints_.push_back(line);
        }
    }
    ::close(fds[0]);
    if (!ready_)
        stop();
}

SimProcess::~SimProcess()
{
    stop();
    if (!dir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
}

void SimProcess::stop()
{
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    reap(pid_, milliseconds(3000));
    pid_ = -1;
}

std::optional<uint16_t> SimProcess::tcp_port(uint32_t serial) const
{
    for (auto& e : endpoints_) {
        auto w = words(e);
        if (w.size() == 3 && w[0] == "tcp" && w[1] == hex8(serial))
            return static_cast<uint16_t>(std::stoul(w[2]));
    }
    return std::nullopt;
}

std::optional<std::string> SimProcess::serial_path(uint32_t serial) const
{
    for (auto& e : endpoints_) {
        auto w = words(e);
        if (w.size() == 3 && w[0] == "serial" && w[1] == hex8(serial))
            return w[2];
    }
    return std::nullopt;
}

std::vector<std::string> SimProcess::events() const
{
    std::vector<std::string> out;
    std::istringstream in(read_file(events_path_));
    std::string line;
    while (std::getline(in, line))
        out.push_back(line);
    return out;
}

std::vector<std::string> SimProcess::events_of(uint32_t serial) const
{
    std::vector<std::string> out;
    const std::string pre = hex8(serial) + " ";
    for (auto& e : events())
        if (e.rfind(pre, 0) == 0)
            out.push_back(e.substr(pre.size()));
    return out;
}

bool SimProcess::wait_event(const std::string& text, milliseconds timeout) const
{
    auto end = Clock::now() + timeout;
    for (;;) {
        for (auto& e : events())
            if (e.find(text) != std::string::npos)
                return true;
        if (Clock::now() >= end)
            return false;
        std::this_thread::sleep_for(milliseconds(20));
    }
}

NetLab::NetLab(const std::string& lab_description, const std::vector<std::string>& extra_args,
               milliseconds ready_timeout)
{
    error_ = unsafe_reason();
    if (!error_.empty())
        return;
    // Named namespaces are files under /run/netns shared by the whole machine, and
    // the veth pair is born in the test's namespace shared by parallel tests: all
    // names carry a random part.
    std::random_device rd;
    char tag[9];
    std::snprintf(tag, sizeof tag, "%08x", rd());
    const int n = static_cast<int>(rd() % 254) + 1;
    const std::string host_veth = std::string("vl") + tag + "h", lab_veth = std::string("vl") + tag + "s";
    host_ns_ = "vmhost" + std::to_string(n) + "-" + tag;
    lab_ns_ = "vmlab" + std::to_string(n) + "-" + tag;
    host_addr_ = "10.213." + std::to_string(n) + ".1";
    lab_addr_ = "10.213." + std::to_string(n) + ".2";

    struct Step {
        std::vector<std::string> argv;
        std::function<void()> done;
    };
    const std::vector<Step> steps = {
        {{"ip", "netns", "add", host_ns_}, [&] { host_made_ = true; }},
        {{"ip", "netns", "add", lab_ns_}, [&] { lab_made_ = true; }},
        {{"ip", "link", "add", host_veth, "type", "veth", "peer", "name", lab_veth}, [&] { veth_made_ = host_veth; }},
        {{"ip", "link", "set", lab_veth, "netns", lab_ns_}, nullptr},
        {{"ip", "link", "set", host_veth, "netns", host_ns_}, [&] { veth_made_.clear(); }},
        {{"ip", "-n", host_ns_, "addr", "add", host_addr_ + "/24", "dev", host_veth}, nullptr},
        {{"ip", "-n", host_ns_, "link", "set", host_veth, "up"}, nullptr},
        {{"ip", "-n", host_ns_, "link", "set", "lo", "up"}, nullptr},
        {{"ip", "-n", lab_ns_, "addr", "add", lab_addr_ + "/24", "dev", lab_veth}, nullptr},
        {{"ip", "-n", lab_ns_, "link", "set", lab_veth, "up"}, nullptr},
        {{"ip", "-n", lab_ns_, "link", "set", "lo", "up"}, nullptr},
    };
    for (auto& s : steps) {
        if (run(s.argv) != 0) {
            std::string cmd;
            for (auto& w : s.argv)
                cmd += w + " ";
            error_ = "failed: " + cmd + "(is iproute2 installed and are we root?)";
            teardown();
            return;
        }
        if (s.done)
            s.done();
    }
    sim_ = std::make_unique<SimProcess>(lab_description, std::vector<std::string>{"ip", "netns", "exec", lab_ns_},
                                        extra_args, ready_timeout);
    if (!sim_->ready()) {
        error_ = sim_->error();
        teardown();
    }
}

NetLab::~NetLab() { teardown(); }

bool NetLab::on_host_side(const std::function<void()>& fn) const
{
    bool joined = false;
    std::thread t([&] {
        int fd = ::open(("/run/netns/" + host_ns_).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return;
        // Joining a network namespace changes only this thread.
        joined = ::setns(fd, CLONE_NEWNET) == 0;
        ::close(fd);
        if (joined)
            fn();
    });
    t.join();
    return joined;
}

void NetLab::teardown()
{
    if (sim_)
        sim_->stop();
    // Deleting a namespace destroys the veth end inside it and with it the pair.
    if (lab_made_)
        run({"ip", "netns", "del", lab_ns_});
    if (host_made_)
        run({"ip", "netns", "del", host_ns_});
    if (!veth_made_.empty())
        run({"ip", "link", "del", veth_made_});
    lab_made_ = host_made_ = false;
    veth_made_.clear();
}

} // namespace netlab
