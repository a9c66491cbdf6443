// velmarine-shared: lists the modules that network servers share, and reads a
// module's serial number, model and firmware version through its server.
//
// Without --interface the servers on this machine are asked (multicast on
// loopback); with it, beacons are exchanged on that interface for about two
// seconds.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "lib/common/aVersion.h"
#include "lib/common/discover.h"
#include "lib/object/Module.h"
#include "lib/object/SystemClass.h"
#include "tools/velmarine-share/interface_option.h"

using namespace Corvane::Velmarine;
using sharing_tools::dotted;

namespace {

constexpr uint32_t kLocalhost = 0x0100007Fu;

void usage(FILE* out)
{
    fputs("Usage: velmarine-shared [-i INTERFACE] [-r SERIAL]\n"
          "Lists the Velmarine modules that network servers share.\n"
          "\n"
          "  -i, --interface INTERFACE  search on this network interface (address or name)\n"
          "                             by beacon; without it, servers on this machine\n"
          "  -r, --read SERIAL          read serial number, model and version of the module\n"
          "                             with this serial number (hexadecimal) through its server\n"
          "  -h, --help                 show this text\n"
          "\n"
          "Exit status: 0 when a shared module was found (and read), 1 otherwise.\n",
          out);
}

const char* kindName(uint32_t type)
{
    switch (type) {
    case AETHER_USB: return "USB";
    case AETHER_TCPIP: return "TCPIP";
    case AETHER_SERIAL: return "SERIAL";
    case AETHER: return "CLIENT";
    default: return "?";
    }
}

bool collect(const linkSpec* spec, bool* success, void* ref)
{
    static_cast<std::vector<linkSpec>*>(ref)->push_back(*spec);
    *success = true;
    return true;
}

int readValues(const linkSpec& spec)
{
    Module module(static_cast<uint8_t>(spec.module), static_cast<uint8_t>(spec.model));
    aErr err = module.connectFromSpec(spec);
    if (err != aErrNone) {
        fprintf(stderr, "Cannot connect to %08X through %s:%u: %s\n", spec.serialNumber,
                dotted(spec.ipAddress).c_str(), spec.ipPort & 0xFFFF, aError_GetErrorText(err));
        return 1;
    }
    SystemClass system;
    system.init(&module, 0);
    uint32_t serial = 0, version = 0;
    uint8_t model = 0;
    aErr e1 = system.getSerialNumber(&serial);
    aErr e2 = system.getModel(&model);
    aErr e3 = system.getVersion(&version);
    int status = 0;
    if (e1 == aErrNone)
        printf("serial %08X\n", serial);
    if (e2 == aErrNone)
        printf("model %u\n", model);
    if (e3 == aErrNone) {
        char text[32] = {};
        aVersion_ParseString(version, text, sizeof text);
        printf("version %s\n", text);
    }
    for (aErr e : {e1, e2, e3})
        if (e != aErrNone) {
            fprintf(stderr, "Read failed: %s\n", aError_GetErrorText(e));
            status = 1;
            break;
        }
    module.disconnect();
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    uint32_t iface = kLocalhost;
    bool read = false;
    uint32_t wanted = 0;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            usage(stdout);
            return 0;
        }
        bool hasValue = i + 1 < argc;
        if ((arg == "-i" || arg == "--interface") && hasValue) {
            auto address = sharing_tools::interfaceAddress(argv[++i]);
            if (!address) {
                fprintf(stderr, "No IPv4 interface '%s'\n", argv[i]);
                return 1;
            }
            iface = *address;
        } else if ((arg == "-r" || arg == "--read") && hasValue) {
            auto serial = sharing_tools::serialNumber(argv[++i]);
            if (!serial) {
                fprintf(stderr, "Not a serial number: '%s'\n", argv[i]);
                return 1;
            }
            read = true;
            wanted = *serial;
        } else {
            usage(stderr);
            return 1;
        }
    }

    std::vector<linkSpec> found;
    aDiscovery_EnumerateModules(AETHER, collect, &found, iface);
    for (const linkSpec& s : found)
        printf("%08X model %u module %u %s server %s:%u\n", s.serialNumber, s.model & 0xFF, s.module,
               kindName(s.type), dotted(s.ipAddress).c_str(), s.ipPort & 0xFFFF);
    printf("%zu shared module%s found\n", found.size(), found.size() == 1 ? "" : "s");
    fflush(stdout);

    if (!read) return found.empty() ? 1 : 0;
    for (const linkSpec& s : found)
        if (s.serialNumber == wanted) return readValues(s);
    fprintf(stderr, "No shared module %08X\n", wanted);
    return 1;
}
