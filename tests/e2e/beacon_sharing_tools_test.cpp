// The sharing tools against the virtual lab: velmarine-share on the host side
// finds the simulated module by TCP/IP discovery and shares it; velmarine-shared,
// a second process, finds the server (by the local multicast search, or by
// beacon on the veth interface) and reads the module's values through it.
// SIGINT or SIGTERM stops the sharing cleanly.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/process_runner.h"
#include "tests/e2e/support/netlab.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kShareTool = std::string(TEST_BINARY_DIR) + "/tools/velmarine-share/velmarine-share";
const std::string kListTool = std::string(TEST_BINARY_DIR) + "/tools/velmarine-shared/velmarine-shared";

// A program left running in the background; its standard output is collected.
// The destructor kills it if the test has not stopped it.
class Background {
public:
    explicit Background(const std::vector<std::string>& argv)
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::setpgid(0, 0);
            ::dup2(fds[1], 1);
            int null_fd = ::open("/dev/null", O_RDWR);
            ::dup2(null_fd, 0);
            std::vector<char*> args;
            for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            ::execvp(args[0], args.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        out_ = fds[0];
    }
    ~Background()
    {
        if (pid_ > 0) {
            ::kill(-pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) ::close(out_);
    }
    // Reads output until it holds text or the time runs out.
    bool waitFor(const std::string& text, std::chrono::milliseconds timeout)
    {
        auto end = Clock::now() + timeout;
        while (output_.find(text) == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            if (left <= 0 || !readSome(static_cast<int>(left))) return false;
        }
        return true;
    }
    // Sends the signal and waits (bounded) for the exit; the exit status or -1.
    int stop(int signal, std::chrono::milliseconds timeout)
    {
        ::kill(pid_, signal);
        auto end = Clock::now() + timeout;
        int status = 0;
        while (Clock::now() < end) {
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                while (readSome(100)) {
                }
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(20ms);
        }
        return -1;
    }
    const std::string& output() const { return output_; }

private:
    bool readSome(int timeoutMs)
    {
        pollfd p{out_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) return false;
        char chunk[512];
        ssize_t n = ::read(out_, chunk, sizeof chunk);
        if (n <= 0) return false;
        output_.append(chunk, static_cast<size_t>(n));
        return true;
    }

    int pid_ = -1;
    int out_ = -1;
    std::string output_;
};

struct Mode {
    const char* name;
    bool onInterface;  // beacon on the veth interface; otherwise this machine only
    int stopSignal;
    const char* stopped;
};

class SharingTools : public ::testing::TestWithParam<Mode> {};

TEST_P(SharingTools, SecondProcessFindsTheSharedModuleAndReadsItsValues)
{
    const Mode& mode = GetParam();
    netlab::NetLab lab("module serial=40F5849A model=19 version=2.10.4 build=1001 transport=tcp hb=0");
    ASSERT_TRUE(lab.ok()) << lab.error();

    std::vector<std::string> where;
    if (mode.onInterface) where = {"--interface", lab.host_address()};
    auto share = lab.host_prefix();
    share.insert(share.end(), {kShareTool, "--serial", "40F5849A", "--transport", "TCP"});
    share.insert(share.end(), where.begin(), where.end());
    Background server(share);
    const std::string address = mode.onInterface ? lab.host_address() : "127.0.0.1";
    ASSERT_TRUE(server.waitFor("\n", 20s)) << server.output();
    ASSERT_EQ(server.output().rfind("Sharing 40F5849A model 19 on " + address + " port ", 0), 0u) << server.output();

    auto list = lab.host_prefix();
    list.insert(list.end(), {kListTool, "--read", "40F5849A"});
    list.insert(list.end(), where.begin(), where.end());
    ProcessOptions options;
    options.timeout = 20s;
    ProcessResult r = run_process(list, options);
    ASSERT_TRUE(r.started);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    const std::string port = server.output().substr(server.output().rfind(' ') + 1);
    EXPECT_EQ(r.out, "40F5849A model 19 module 2 TCPIP server " + address + ":" + port +
                         "1 shared module found\n"
                         "serial 40F5849A\n"
                         "model 19\n"
                         "version 2.10.4\n");

    EXPECT_EQ(server.stop(mode.stopSignal, 10s), 0);
    EXPECT_NE(server.output().find(mode.stopped), std::string::npos) << server.output();
}

INSTANTIATE_TEST_SUITE_P(Modes, SharingTools,
                         ::testing::Values(Mode{"LocalMulticast", false, SIGINT, "Stopped (SIGINT)\n"},
                                           Mode{"BeaconOnVeth", true, SIGTERM, "Stopped (SIGTERM)\n"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SharingToolsUsage, RefusesWhatItCannotUse)
{
    struct Case {
        std::vector<std::string> argv;
        int status;
        const char* text;  // expected in standard output or error
    } cases[] = {
        {{kShareTool, "--help"}, 0, "Usage: velmarine-share"},
        {{kListTool, "--help"}, 0, "Usage: velmarine-shared"},
        {{kShareTool}, 1, "Usage: velmarine-share"},
        {{kShareTool, "-d", "nothex"}, 1, "Not a serial number"},
        {{kShareTool, "-d", "40F5849A", "-t", "SERIAL"}, 1, "Transport must be USB or TCP"},
        {{kShareTool, "-d", "40F5849A", "-i", "no-such-interface"}, 1, "No IPv4 interface"},
        {{kListTool, "-r", "123456789"}, 1, "Not a serial number"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.argv.back());
        ProcessResult r = run_process(c.argv);
        EXPECT_EQ(r.exitStatus, c.status);
        EXPECT_NE((r.out + r.err).find(c.text), std::string::npos) << r.out << r.err;
    }
}

} // namespace
