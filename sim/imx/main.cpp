// velmarine-imx-sim: an i.MX boot ROM in serial download mode behind a pseudo-terminal.
//
// Prints the terminal's slave path and "ready" on standard output, then one
// "event ..." line for every command the ROM handles. SIGTERM and SIGINT end it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/imx/imx_rom.h"

namespace {

std::atomic<int> gStop{0};
void onSignal(int) { gStop = 1; }

void usage() {
    std::fprintf(stderr,
                 "usage: velmarine-imx-sim [--fingerprint LOW,HIGH] [--silent] [--answer-in-data]\n"
                 "       [--refuse-completion]\n");
}

void emit(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    imxsim::RomConfig config;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--silent") config.silent = true;
        else if (a == "--answer-in-data") config.answerInData = true;
        else if (a == "--refuse-completion") config.refuseCompletion = true;
        else if (a == "--fingerprint" && i + 1 < argc) {
            unsigned long lo = 0, hi = 0;
            if (std::sscanf(argv[++i], "%lx,%lx", &lo, &hi) != 2) {
                usage();
                return 2;
            }
            config.fingerprintLow = uint32_t(lo);
            config.fingerprintHigh = uint32_t(hi);
        } else {
            usage();
            return 2;
        }
    }

    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("pseudo-terminal");
        return 1;
    }
    std::string path = ptsname(master);
    // Keep a slave descriptor open so the master never sees a hang-up between hosts.
    int keep = open(path.c_str(), O_RDWR | O_NOCTTY);
    termios tio{};
    tcgetattr(keep, &tio);
    cfmakeraw(&tio);
    tcsetattr(keep, TCSANOW, &tio);

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    imxsim::ImxRom rom(config);
    rom.onEvent = [](const std::string& e) { emit("event " + e); };
    emit(path);
    emit("ready");

    while (!gStop) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) {
            rom.lineIdle();
            continue;
        }
        unsigned char buf[4096];
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) continue;
        std::string out;
        for (ssize_t i = 0; i < n; ++i) rom.receive(buf[i], out);
        for (size_t done = 0; done < out.size();) {
            ssize_t w = write(master, out.data() + done, out.size() - done);
            if (w <= 0) break;
            done += size_t(w);
        }
    }
    close(keep);
    close(master);
    return 0;
}
