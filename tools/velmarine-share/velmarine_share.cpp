// velmarine-share: shares one module (found by serial number on USB or TCP/IP)
// through a network server until SIGINT or SIGTERM.
//
// By default the server serves this machine only and answers the local
// multicast search; with --interface it listens on that interface and answers
// beacon searches there.

#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "lib/object/Module.h"
#include "lib/object/SystemClass.h"
#include "tools/velmarine-share/interface_option.h"

using namespace Corvane::Velmarine;
using sharing_tools::dotted;

namespace {

constexpr uint32_t kLocalhost = 0x0100007Fu;

void usage(FILE* out)
{
    fputs("Usage: velmarine-share -d SERIAL [-t USB|TCP] [-i INTERFACE]\n"
          "Shares a Velmarine module through a network server until interrupted.\n"
          "\n"
          "  -d, --serial SERIAL        the module's serial number (hexadecimal)\n"
          "  -t, --transport USB|TCP    how the module is attached (default: USB, then TCP)\n"
          "  -i, --interface INTERFACE  serve clients on this network interface (address or\n"
          "                             name) and answer beacon searches there; without it,\n"
          "                             serve this machine only\n"
          "  -h, --help                 show this text\n"
          "\n"
          "Once the server runs, one line \"Sharing ...\" names its address and port.\n"
          "SIGINT or SIGTERM stops it. Exit status: 0 after a clean stop, 1 otherwise.\n",
          out);
}

aErr connectOn(Module& module, linkType type, uint32_t serial, std::optional<uint32_t> iface)
{
    aEtherConfig config;
    module.getConfig(&config);
    config.enabled = true;
    config.fallback = false;  // a module that is not there is not looked for as a server
    config.localOnly = !iface.has_value();
    config.networkInterface = iface.value_or(kLocalhost);
    module.setConfig(config);
    return module.connect(type, serial);
}

} // namespace

int main(int argc, char** argv)
{
    std::optional<uint32_t> serial;
    std::optional<uint32_t> iface;
    std::string transport = "ANY";
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            usage(stdout);
            return 0;
        }
        bool hasValue = i + 1 < argc;
        if ((arg == "-d" || arg == "--serial") && hasValue) {
            serial = sharing_tools::serialNumber(argv[++i]);
            if (!serial) {
                fprintf(stderr, "Not a serial number: '%s'\n", argv[i]);
                return 1;
            }
        } else if ((arg == "-t" || arg == "--transport") && hasValue) {
            transport = argv[++i];
            if (transport != "USB" && transport != "TCP") {
                fprintf(stderr, "Transport must be USB or TCP, not '%s'\n", transport.c_str());
                return 1;
            }
        } else if ((arg == "-i" || arg == "--interface") && hasValue) {
            iface = sharing_tools::interfaceAddress(argv[++i]);
            if (!iface) {
                fprintf(stderr, "No IPv4 interface '%s'\n", argv[i]);
                return 1;
            }
        } else {
            usage(stderr);
            return 1;
        }
    }
    if (!serial) {
        usage(stderr);
        return 1;
    }

    // The signals are taken by sigwait below; blocked before any thread starts,
    // they stay blocked in every thread the library starts, so none of them
    // (nor a handler of the messaging library) consumes them first.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    Module module(0);
    aErr err = aErrNotFound;
    if (transport != "TCP") err = connectOn(module, USB, *serial, iface);
    if (err != aErrNone && transport != "USB") err = connectOn(module, TCPIP, *serial, iface);
    if (err != aErrNone) {
        fprintf(stderr, "Cannot share %08X: %s\n", *serial, aError_GetErrorText(err));
        return 1;
    }

    aEtherConfig config;
    module.getConfig(&config);
    linkSpec spec{};
    module.getLinkSpecifier(&spec);
    SystemClass system;
    system.init(&module, 0);
    uint8_t model = 0;
    system.getModel(&model);
    printf("Sharing %08X model %u on %s port %u\n", *serial, model,
           config.localOnly ? "127.0.0.1" : dotted(config.networkInterface).c_str(), config.assignedPort);
    fflush(stdout);

    int signal = 0;
    sigwait(&stop, &signal);
    module.disconnect();
    printf("Stopped (%s)\n", signal == SIGINT ? "SIGINT" : "SIGTERM");
    return 0;
}
