// Running parts of this test binary inside the emulated-USB lab: an outer test
// starts velmarine-usbsim with the devices it wants and this binary, filtered
// to one inner test, as the program under test; the inner test talks to the
// emulated modules through real libusb calls and the control socket, and the
// outer test checks its result and the lab's event log.
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace usbbed {

inline bool inside() { return std::getenv("VELMARINE_USBSIM_CONTROL") != nullptr; }

#define USB_BED_ONLY()                                                      \
    do {                                                                    \
        if (!usbbed::inside()) GTEST_SKIP() << "runs inside the USB lab only"; \
    } while (0)

// One request to the lab; its answer ("ok" or "error ...").
inline std::string control(const std::string& line)
{
    const char* path = std::getenv("VELMARINE_USBSIM_CONTROL");
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s", path ? path : "");
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        if (fd >= 0) close(fd);
        return "error no lab";
    }
    std::string msg = line + "\n";
    (void)!write(fd, msg.data(), msg.size());
    std::string reply;
    char ch;
    while (read(fd, &ch, 1) == 1 && ch != '\n') reply += ch;
    close(fd);
    return reply;
}

struct Run {
    int status = -1;
    std::string output;
    std::vector<std::string> events;
    bool has(const std::string& event) const
    {
        for (auto& e : events)
            if (e == event) return true;
        return false;
    }
    size_t count(const std::string& event) const
    {
        size_t n = 0;
        for (auto& e : events) n += e == event;
        return n;
    }
};

inline std::string quote(const std::string& s)
{
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs the command inside a lab of the given devices ("--usb" lines), at most
// 90 seconds.
inline Run run_command(const std::vector<std::string>& devices, const std::string& command)
{
    char dir[] = "/tmp/usbbed.XXXXXX";
    Run r;
    if (!mkdtemp(dir)) return r;
    std::string events = std::string(dir) + "/events";
    std::string cmd = "timeout -k 5 90 " TEST_BINARY_DIR "/sim/usb/velmarine-usbsim --events " + events;
    for (auto& d : devices) cmd += " --usb " + quote(d);
    cmd += " -- " + command + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    std::ifstream in(events);
    for (std::string line; std::getline(in, line);) r.events.push_back(line);
    std::remove(events.c_str());
    rmdir(dir);
    return r;
}

// Runs one inner test of this binary inside the lab.
inline Run run_inner(const std::vector<std::string>& devices, const std::string& inner)
{
    char self[4096] = {0};
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return Run{};
    Run r = run_command(devices, quote(self) + " --gtest_filter=" + inner);
    // An inner test that skipped or never ran proves nothing.
    if (r.output.find("[  PASSED  ] 1 test.") == std::string::npos ||
        r.output.find("SKIPPED") != std::string::npos)
        r.status = r.status == 0 ? -2 : r.status;
    return r;
}

}  // namespace usbbed
