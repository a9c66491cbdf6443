// velmarine-sim: simulated Velmarine modules for tests, the demo and trying the
// updater without hardware. See sim/README.md.
#include "sim/module/lab.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace {

std::atomic<bool> g_stop{false};

void on_signal(int) { g_stop = true; }

void usage(std::FILE* f)
{
    std::fprintf(f,
                 "usage: velmarine-sim [--config FILE] [--module \"...\"] [--router \"...\"] [--bus \"...\"]\n"
                 "                     [--events FILE] [--flash-dir DIR] [--no-discovery] [--discovery-port N]\n"
                 "A module line: serial=<hex> [model=N] [version=A.B.C|N] [build=N] [name=\"...\"]\n"
                 "  [address=N] [router_address=N] [features=N] transport=tcp[:PORT]|serial [hb=MS]\n"
                 "  [busy] [silent] [late=MS[:CMD[:OPT]]] [wrong_length[=CMD]] [drop_after=N]\n"
                 "  [deny=OPT[:CODE],...] [bad_sum] [factory=IDX:HEX] [slots=CAP,...]\n"
                 "  upgrade entity: [uei_data] [in_loader] [block_size=N] [load_base=N]\n"
                 "  [build_after_update=N] [version_after_update=A.B.C] [short_ack] [bad_upgrade_sum]\n"
                 "  [prepare_status=N] [no_load_reply] [reboot_keeps_link] [reboot_ms=N]\n"
                 "  [loader_reenumerates[=MS]] [loader_serial=HEX] [flash_dir=DIR]\n"
                 "router lines add [strict_route]; bus lines take router=<hex> (default: the last router)\n"
                 "and no transport.\n");
}

} // namespace

int main(int argc, char** argv)
{
    vmsim::LabConfig cfg;
    try {
        for (int i = 1; i < argc; ++i) {
            std::string a = argv[i];
            auto value = [&]() -> std::string {
                if (i + 1 >= argc)
                    throw std::runtime_error(a + " needs a value");
                return argv[++i];
            };
            if (a == "--config") {
                std::string path = value();
                std::ifstream in(path);
                if (!in)
                    throw std::runtime_error("cannot read " + path);
                std::stringstream ss;
                ss << in.rdbuf();
                vmsim::parse_config_text(ss.str(), cfg);
            } else if (a == "--module" || a == "--router" || a == "--bus") {
                cfg.modules.push_back(vmsim::parse_module_line(a.substr(2) + " " + value(), cfg));
            } else if (a == "--events") {
                cfg.events_path = value();
            } else if (a == "--flash-dir") {
                cfg.flash_dir = value();
            } else if (a == "--no-discovery") {
                cfg.discovery = false;
            } else if (a == "--discovery-port") {
                cfg.discovery_port = static_cast<uint16_t>(std::stoul(value()));
            } else if (a == "-h" || a == "--help") {
                usage(stdout);
                return 0;
            } else {
                throw std::runtime_error("unknown argument " + a);
            }
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velmarine-sim: %s\n", e.what());
        usage(stderr);
        return 2;
    }
    // An empty lab is allowed: it is how a test shows a network without modules.
    if (cfg.modules.empty())
        std::fprintf(stderr, "velmarine-sim: no modules described; serving nothing\n");

    struct sigaction sa {};
    sa.sa_handler = on_signal;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    vmsim::Lab lab(cfg);
    if (!lab.start(stdout)) {
        std::fprintf(stderr, "velmarine-sim: %s\n", lab.error().c_str());
        return 1;
    }
    lab.run(g_stop);
    return 0;
}
