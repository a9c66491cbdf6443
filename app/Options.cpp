#include "app/Options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "app/Log.h"
#include "lib/unix/aDirectory.h"

const OptionRow kOptionTable[OPTION_COUNT] = {
    {OPTION_COMMAND, "-B", false},         {OPTION_COMMAND, "-L", false},
    {OPTION_COMMAND, "-D", false},         {OPTION_COMMAND, "-G", false},
    {OPTION_COMMAND, "-I", false},         {OPTION_COMMAND, "-U", false},
    {OPTION_COMMAND, "-OVERRIDE", false},  {OPTION_COMMAND, "-N", false},
    {OPTION_COMMAND, "-Y", false},         {OPTION_COMMAND, "-C", false},
    {OPTION_COMMAND, "-J", false},         {OPTION_HELP, "-h", false},
    {OPTION_HELP, "-H", false},            {OPTION_PARAMETER, "-n", false},
    {OPTION_PARAMETER, "-X", true},        {OPTION_PARAMETER, "-Z", true},
    {OPTION_PARAMETER, "-m", true},        {OPTION_PARAMETER, "-i", true},
    {OPTION_PARAMETER, "-b", true},        {OPTION_PARAMETER, "-d", true},
    {OPTION_PARAMETER, "-t", true},        {OPTION_PARAMETER, "-f", true},
    {OPTION_PARAMETER, "-r", true},        {OPTION_PARAMETER, "-s", true},
    {OPTION_PARAMETER, "-o", true},        {OPTION_PARAMETER, "-e", false},
    {OPTION_PARAMETER, "-l", true},        {OPTION_PARAMETER, "-k", true},
    {OPTION_PARAMETER, "-u", true},        {OPTION_HELP, "--help", false},
};

namespace {

unsigned leading_hyphens(const char* text, unsigned length) {
    unsigned n = 0;
    while (n < length && text[n] == '-') ++n;
    return n;
}

// strtoull over a text already known to hold only digits of the base, clamped to 32 bits.
uint32_t convert_checked(const char* text, char** end, int base, const char* allowed) {
    if (end == nullptr) return 0;
    if (text[std::strspn(text, allowed)] != '\0') return 0;
    errno = 0;
    unsigned long long value = std::strtoull(text, end, base);
    if (errno == ERANGE || value > 0xFFFFFFFFull) return 0xFFFFFFFFu;
    return static_cast<uint32_t>(value);
}

bool starts_with(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// Drops a "0x" or "0X" in front of a serial number, which users often type.
const char* strip_hex_prefix(const char* value, const char* logLine) {
    if (value[0] == '0' && (value[1] == 'x' || value[1] == 'X')) {
        Log::log(Log::DEBUG_Updater, "%s", logLine);
        return value + 2;
    }
    return value;
}

bool parse_serial(UpdaterDisplayInterface& display, const char* value, uint32_t& out, bool router) {
    const char* digits = strip_hex_prefix(
        value, router ? "Discarding '0x' router serial number prefix\n" : "Discarding '0x' serial number prefix\n");
    char* end = nullptr;
    uint32_t serial = _get_hex_arg(digits, &end);
    if (serial == 0) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        router ? "Invalid router serial number obtained from argument [%s]"
                               : "Invalid serial number obtained from argument [%s]",
                        digits);
        return false;
    }
    out = serial;
    return true;
}

void parse_log_mask(UpdaterDisplayInterface& display, const char* option, const char* value, Parameters& p) {
    p.logMaskGiven = true;
    int base = (value[0] == '0' && (value[1] == 'x' || value[1] == 'X')) ? 16 : 10;
    char* end = nullptr;
    errno = 0;
    unsigned long long mask = std::strtoull(value, &end, base);
    if (end != nullptr && *end != '\0') {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Invalid format for \"%s\" parameter, unprocessed characters [%s]", option, end);
        return;
    }
    if (errno == ERANGE || mask > 0xFFFFFFFFull) mask = 0xFFFFFFFFull;
    p.logMask = static_cast<uint32_t>(mask);
    // Active at once, so the rest of the scan already logs under the new mask.
    Log::ActivatePackage(p.logMask);
}

bool parse_transport(UpdaterDisplayInterface& display, const char* value, Parameters& p) {
    p.transportGiven = true;
    if (std::strncmp(value, "USB", 3) == 0) {
        p.transport = TRANSPORT_USB;
    } else if (std::strncmp(value, "TCP", 3) == 0) {
        p.transport = TRANSPORT_TCPIP;
    } else if (std::strncmp(value, "RECOVER", 7) == 0) {
        p.transport = TRANSPORT_RECOVER;
    } else {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER", value);
        p.transport = TRANSPORT_INVALID;
        return false;
    }
    return true;
}

// Applies one recognised option; false when its value was rejected.
bool apply_option(UpdaterDisplayInterface& display, const OptionRow& row, const char* value, Parameters& p) {
    const std::string option = row.text;
    char* end = nullptr;

    // Commands, and the flags that take no value.
    static const std::pair<const char*, uint32_t> kCommandBits[] = {
        {"-B", COMMAND_LIST_BUILDS}, {"-L", COMMAND_LIST_LOCAL}, {"-D", COMMAND_DISCOVER},
        {"-G", COMMAND_GET},         {"-I", COMMAND_INFO},       {"-U", COMMAND_UPDATE},
        {"-N", COMMAND_FINGERPRINT}, {"-C", COMMAND_CHECK},      {"-J", COMMAND_JWT},
        {"-Z", COMMAND_Z},  // its value is not used
    };
    for (const auto& [text, bit] : kCommandBits) {
        if (option == text) {
            p.commands.Set(bit);
            return true;
        }
    }
    if (option == "-Y") {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Unhandled command: [%s]", row.text);
        return false;
    }
    if (option == "-OVERRIDE") p.override = true;
    else if (option == "-n") p.nFlag = true;
    else if (option == "-e") p.echo = true;

    // Options with a value.
    else if (option == "-X") parse_log_mask(display, row.text, value, p);
    else if (option == "-d") return parse_serial(display, value, p.serialNumber, false);
    else if (option == "-r") return parse_serial(display, value, p.routerSerialNumber, true);
    else if (option == "-t") return parse_transport(display, value, p);
    else if (option == "-m") p.ueiBytesLoad = starts_with(value, "1") || starts_with(value, "true");
    else if (option == "-b") p.build = std::to_string(_get_int_arg(value, &end));
    else if (option == "-o") p.baudRate = _get_int_arg(value, &end);
    else if (option == "-i") p.storageRoot = value;
    else if (option == "-f") p.birdFile = value;
    else if (option == "-s") p.serialPort = value;
    else if (option == "-l") p.logMessage = value;
    else if (option == "-k") p.logFile = value;
    else if (option == "-u") p.serverUrl = value;
    return true;
}

}  // namespace

int _find_option(const char* name, unsigned nameLength) {
    const unsigned hyphens = leading_hyphens(name, nameLength);
    const char* bare = name + hyphens;
    const unsigned bareLength = nameLength - hyphens;
    int best = OPTION_NO_MATCH;
    unsigned bestScore = 0;
    bool tie = false;
    for (int row = 0; row < OPTION_COUNT; ++row) {
        const char* text = kOptionTable[row].text;
        const unsigned rowHyphens = leading_hyphens(text, static_cast<unsigned>(std::strlen(text)));
        if (rowHyphens != hyphens) continue;
        const char* rowBare = text + rowHyphens;
        const unsigned rowLength = static_cast<unsigned>(std::strlen(rowBare));
        if (rowLength == bareLength && std::strncmp(rowBare, bare, bareLength) == 0) return row;
        // A lone hyphen names nothing, rather than everything.
        if (bareLength == 0 || bareLength > rowLength || std::strncmp(rowBare, bare, bareLength) != 0) continue;
        if (bareLength > bestScore) {
            best = row;
            bestScore = bareLength;
            tie = false;
        } else if (bareLength == bestScore) {
            tie = true;
        }
    }
    return tie ? OPTION_AMBIGUOUS : best;
}

uint32_t _get_hex_arg(const char* text, char** end) {
    return convert_checked(text, end, 16, "0123456789ABCDEFabcdef");
}

uint32_t _get_int_arg(const char* text, char** end) { return convert_checked(text, end, 10, "0123456789"); }

int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters& p) {
    if (argc > 0 && argv[0] != nullptr) {
        const char* slash = std::strrchr(argv[0], '/');
        p.appName = slash != nullptr ? slash + 1 : argv[0];
    }
    char home[2048];
    if (aDirectory_GetHomeDirectory(home, sizeof home) == aErrNone) p.homeDirectory = home;
    Log::log(Log::DEBUG_APP, "Home directory:[%s]\n", p.homeDirectory.c_str());

    int result = 0;
    for (int i = 1; i < argc; ++i) {
        const char* token = argv[i];
        if (token == nullptr || token[0] != '-') continue;

        const char* equals = std::strchr(token, '=');
        const unsigned nameLength =
            static_cast<unsigned>(equals != nullptr ? equals - token : std::strlen(token));
        const int row = _find_option(token, nameLength);
        if (row < 0) continue;
        const OptionRow& option = kOptionTable[row];
        if (!option.takesValue && equals != nullptr) continue;

        if (option.kind == OPTION_HELP) {
            p.commands.Set(COMMAND_HELP);
            p.helpRequested = true;
            return 0;
        }

        const char* value = nullptr;
        if (option.takesValue) {
            if (equals != nullptr) {
                value = equals + 1;
            } else if (i + 1 < argc && argv[i + 1] != nullptr && argv[i + 1][0] != '-') {
                value = argv[++i];
            } else {
                // No value: the option is dropped and a following option is read as such.
                continue;
            }
        }
        if (!apply_option(display, option, value, p)) result = 1;
    }

    Log::log(Log::DEBUG_APP, "\nApplication parameters:[%s]\n", p.appName.c_str());
    for (int i = 0; i < argc; ++i) Log::log(Log::DEBUG_APP, "\t[%s]\n", argv[i] != nullptr ? argv[i] : "");
    return result;
}
