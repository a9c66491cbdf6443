// velmarine-usbsim: runs a program with emulated Velmarine modules on USB.
//
//   velmarine-usbsim [--events FILE] --usb "serial=<hex> [key=value ...]" ... -- PROGRAM ARGS...
//
// The program runs inside a umockdev test bed: libusb in it enumerates the
// emulated modules and talks to them; the simulated module answers behind the
// bulk endpoints. The program's exit status is this program's exit status.
// The environment variable VELMARINE_USBSIM_CONTROL names a socket on which the
// program (or a test) can ask, one line per connection, answered "ok" or
// "error ...":
//   unplug SERIAL | plug SERIAL | reenumerate SERIAL [DELAY_MS [AS_SERIAL]]
//   in-error SERIAL N | in-stall SERIAL N | out-error SERIAL N | out-stall SERIAL N
//   out-timeout SERIAL N | in-lost SERIAL N | in-data SERIAL HEX
// --imx "[fingerprint=LOW,HIGH] [silent] [answer_in_data] [refuse_completion] [loader=<hex>]"
// adds an i.MX boot ROM on USB-HID; a jump into what it was loaded with takes it
// off the bus and brings up the --usb device named by loader= (the recovery
// loader), whose system reset brings the ROM back.
#include "sim/usb/lab_lock.h"
#include "sim/usb/usb_lab.h"

#include <glib-unix.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace vmusbsim;

// umockdev and GLib are not built with ThreadSanitizer, so it cannot see their
// own synchronisation between the main thread and the test bed's worker; only
// our code's races are worth reporting.
extern "C" const char* __tsan_default_suppressions()
{
    return "race:libumockdev.so\nrace:libglib-2.0.so\nrace:libgobject-2.0.so\nrace:libgio-2.0.so\n";
}

namespace {

void usage()
{
    std::fprintf(stderr,
                 "usage: velmarine-usbsim [--events FILE] --usb \"serial=<hex> [key=value ...]\" ...\n"
                 "       [--imx \"[fingerprint=LOW,HIGH] [silent] [answer_in_data] [refuse_completion] [loader=<hex>]\"]\n"
                 "       -- PROGRAM ARGS...\n"
                 "USB keys: product=N serial_string=TEXT in_max=N out_max=N no_out held kernel kernel_only\n"
                 "other keys are the simulated module's (model, version, build, name, hb, ...)\n");
}

// Blank-separated words; a double-quoted part keeps its blanks (and its quotes,
// which the module's own parser reads).
std::vector<std::string> words(const std::string& line)
{
    std::vector<std::string> out;
    std::string cur;
    bool quoted = false, any = false;
    for (char ch : line) {
        if (ch == '"')
            quoted = !quoted;
        if (!quoted && (ch == ' ' || ch == '\t')) {
            if (any)
                out.push_back(cur);
            cur.clear();
            any = false;
            continue;
        }
        cur += ch;
        any = true;
    }
    if (any)
        out.push_back(cur);
    return out;
}

UsbConfig parse_usb(const std::string& line)
{
    UsbConfig c;
    std::string rest;
    bool have_serial = false;
    for (const std::string& word : words(line)) {
        auto eq = word.find('=');
        std::string k = word.substr(0, eq), v = eq == std::string::npos ? "" : word.substr(eq + 1);
        if (k == "serial") {
            c.serial = static_cast<uint32_t>(std::stoul(v, nullptr, 16));
            have_serial = true;
        } else if (k == "product") {
            c.product = static_cast<uint16_t>(std::stoul(v, nullptr, 0));
        } else if (k == "serial_string") {
            c.serial_string = v;
        } else if (k == "in_max") {
            c.in_max = static_cast<uint16_t>(std::stoul(v, nullptr, 0));
        } else if (k == "out_max") {
            c.out_max = static_cast<uint16_t>(std::stoul(v, nullptr, 0));
        } else if (k == "no_out") {
            c.no_out = true;
        } else if (k == "held") {
            c.held = true;
        } else if (k == "kernel") {
            c.kernel = true;
        } else if (k == "kernel_only") {
            c.kernel = true;
            c.usb = false;
        } else {
            rest += word + " ";
        }
    }
    if (!have_serial)
        throw std::runtime_error("a --usb line needs serial=<hex>");
    c.module_line = rest;
    return c;
}

struct Context {
    UsbLab* lab = nullptr;
    GMainLoop* loop = nullptr;
    int status = 1;
};

std::string command(UsbLab& lab, const std::string& line)
{
    std::istringstream in(line);
    std::string verb, serial, arg;
    in >> verb >> serial >> arg;
    if (serial.empty())
        return "error no serial number";
    UsbDevice* d = lab.device(static_cast<uint32_t>(std::strtoul(serial.c_str(), nullptr, 16)));
    if (!d)
        return "error no such device";
    std::lock_guard<std::recursive_mutex> lock(lab_lock());
    unsigned n = arg.empty() ? 1 : static_cast<unsigned>(std::strtoul(arg.c_str(), nullptr, 0));
    Faults& f = d->faults();
    if (verb == "unplug") {
        if (d->plugged())
            lab.unplug(*d);
    } else if (verb == "plug") {
        if (!d->plugged() && !lab.plug(*d))
            return "error " + lab.error();
    } else if (verb == "reenumerate") { // reenumerate SERIAL [DELAY_MS [AS_SERIAL]]
        std::string as;
        in >> as;
        lab.reenumerate(*d, as.empty() ? 0 : static_cast<uint32_t>(std::strtoul(as.c_str(), nullptr, 16)),
                        arg.empty() ? 300 : n);
    } else if (verb == "in-error") {
        f.in_error = n;
    } else if (verb == "in-lost") {
        f.in_lost = n;
    } else if (verb == "in-stall") {
        f.in_stall = n;
    } else if (verb == "out-error") {
        f.out_error = n;
    } else if (verb == "out-stall") {
        f.out_stall = n;
    } else if (verb == "out-timeout") {
        f.out_timeout = n;
    } else if (verb == "in-data") {
        std::vector<uint8_t> bytes;
        for (std::size_t i = 0; i + 1 < arg.size(); i += 2)
            bytes.push_back(static_cast<uint8_t>(std::strtoul(arg.substr(i, 2).c_str(), nullptr, 16)));
        d->inject_in(bytes);
    } else {
        return "error unknown request";
    }
    return "ok";
}

gboolean on_control(gint fd, GIOCondition, gpointer p)
{
    auto* ctx = static_cast<Context*>(p);
    int c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0)
        return G_SOURCE_CONTINUE;
    std::string line;
    char ch;
    while (line.size() < 4096 && ::read(c, &ch, 1) == 1 && ch != '\n')
        line += ch;
    std::string reply = command(*ctx->lab, line) + "\n";
    (void)!::write(c, reply.data(), reply.size());
    ::close(c);
    return G_SOURCE_CONTINUE;
}

gboolean on_pump(gpointer p)
{
    static_cast<Context*>(p)->lab->pump();
    return G_SOURCE_CONTINUE;
}

void on_child(GPid, gint status, gpointer p)
{
    auto* ctx = static_cast<Context*>(p);
    ctx->status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    g_main_loop_quit(ctx->loop);
}

gboolean on_signal(gpointer p)
{
    g_main_loop_quit(static_cast<Context*>(p)->loop);
    return G_SOURCE_REMOVE;
}

} // namespace

int main(int argc, char** argv)
{
    // Sending uevents (unplug, plug) only works from under umockdev's preload,
    // so the lab itself runs there too.
    const char* preload = std::getenv("LD_PRELOAD");
    if (!preload || !std::strstr(preload, "umockdev-preload")) {
        // Programs built with AddressSanitizer refuse to start when a preloaded
        // library comes before its runtime; under umockdev one always does.
        std::string asan = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
        if (asan.find("verify_asan_link_order") == std::string::npos)
            setenv("ASAN_OPTIONS", (asan.empty() ? "" : asan + ":").append("verify_asan_link_order=0").c_str(), 1);
        std::vector<char*> args;
        args.push_back(const_cast<char*>("umockdev-wrapper"));
        for (int i = 0; i < argc; ++i)
            args.push_back(argv[i]);
        args.push_back(nullptr);
        ::execvp("umockdev-wrapper", args.data());
        std::fprintf(stderr, "velmarine-usbsim: cannot run umockdev-wrapper: %s\n", std::strerror(errno));
        return 2;
    }

    std::vector<UsbConfig> devices;
    std::optional<ImxConfig> imx;
    std::string events;
    int first_cmd = -1;
    try {
        for (int i = 1; i < argc; ++i) {
            std::string a = argv[i];
            if (a == "--") {
                first_cmd = i + 1;
                break;
            }
            if (i + 1 >= argc) {
                usage();
                return 2;
            }
            if (a == "--events")
                events = argv[++i];
            else if (a == "--usb")
                devices.push_back(parse_usb(argv[++i]));
            else if (a == "--imx")
                imx = parse_imx(argv[++i]);
            else {
                usage();
                return 2;
            }
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velmarine-usbsim: %s\n", e.what());
        return 2;
    }
    if (first_cmd < 0 || first_cmd >= argc) {
        usage();
        return 2;
    }

    // The i.MX recovery loader is not on the bus until the ROM starts it.
    if (imx && imx->loader_serial)
        for (auto& d : devices)
            if (d.serial == *imx->loader_serial)
                d.usb = false;
    UsbLab lab;
    if (!lab.start(devices, events) || (imx && !lab.add_imx(*imx))) {
        std::fprintf(stderr, "velmarine-usbsim: %s\n", lab.error().c_str());
        return 2;
    }

    // The control socket lives beside the test bed and goes with it.
    const char* root = std::getenv("UMOCKDEV_DIR");
    std::string sock_path = std::string(root ? root : "/tmp") + "/usbsim-control";
    int ctl = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s", sock_path.c_str());
    ::unlink(sock_path.c_str());
    if (ctl < 0 || ::bind(ctl, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(ctl, 8) != 0) {
        std::fprintf(stderr, "velmarine-usbsim: control socket %s: %s\n", sock_path.c_str(), std::strerror(errno));
        return 2;
    }
    g_setenv("VELMARINE_USBSIM_CONTROL", sock_path.c_str(), TRUE);

    // The same holds for libusb and the preload in a ThreadSanitizer-built
    // program under test: their internal locking is invisible to it.
    const char* tsan = std::getenv("TSAN_OPTIONS");
    if (!tsan || !std::strstr(tsan, "suppressions=")) {
        std::string supp = std::string(root ? root : "/tmp") + "/usbsim-tsan.supp";
        if (FILE* f = std::fopen(supp.c_str(), "w")) {
            std::fputs("race:libusb-1.0.so\nrace:libumockdev-preload.so\n", f);
            std::fclose(f);
            std::string opts = tsan ? std::string(tsan) + ":" : std::string();
            g_setenv("TSAN_OPTIONS", (opts + "suppressions=" + supp).c_str(), TRUE);
        }
    }

    Context ctx;
    ctx.lab = &lab;
    ctx.loop = g_main_loop_new(nullptr, FALSE);
    g_unix_fd_add(ctl, G_IO_IN, on_control, &ctx);
    g_timeout_add(5, on_pump, &ctx);
    g_unix_signal_add(SIGTERM, on_signal, &ctx);
    g_unix_signal_add(SIGINT, on_signal, &ctx);

    GPid pid = 0;
    GError* err = nullptr;
    if (!g_spawn_async(nullptr, argv + first_cmd, nullptr,
                       static_cast<GSpawnFlags>(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_SEARCH_PATH |
                                                G_SPAWN_CHILD_INHERITS_STDIN),
                       nullptr, nullptr, &pid, &err)) {
        std::fprintf(stderr, "velmarine-usbsim: cannot run %s: %s\n", argv[first_cmd], err ? err->message : "?");
        return 2;
    }
    g_child_watch_add(pid, on_child, &ctx);
    g_main_loop_run(ctx.loop);
    if (ctx.status == 1 && ::kill(pid, 0) == 0) {
        // Stopped by a signal while the program still runs: take it down too.
        ::kill(pid, SIGTERM);
        int st = 0;
        ::waitpid(pid, &st, 0);
    }
    ::close(ctl);
    ::unlink(sock_path.c_str());
    g_main_loop_unref(ctx.loop);
    return ctx.status;
}
