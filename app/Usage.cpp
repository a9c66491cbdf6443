#include "app/Usage.h"

#include <cstdio>
#include <initializer_list>

#include "build_config.h"

namespace {

const char* const kAppName = "Updater";

// An entry of the option lists: the entry text in a 25-character field after five
// spaces, then "- " and its first description line; later lines line up under it.
void entry(std::string& out, const char* text, std::initializer_list<const char*> lines, bool blankAfter) {
    char head[128];
    std::snprintf(head, sizeof head, "     %-25s- ", text);
    out += head;
    bool first = true;
    for (const char* line : lines) {
        if (!first) out += std::string(32, ' ');
        out += line;
        out += '\n';
        first = false;
    }
    if (lines.size() == 0) out += '\n';
    if (blankAfter) out += '\n';
}

// A sample: the command text in a 31-character field, then its description; a command
// too long for its field stands alone and all of its description is indented.
void sample(std::string& out, const char* command, std::initializer_list<const char*> lines, bool alone = false) {
    char head[128];
    if (alone) {
        out += command;
        out += '\n';
    } else {
        std::snprintf(head, sizeof head, "%-31s", command);
        out += head;
    }
    bool first = !alone;
    for (const char* line : lines) {
        if (!first) out += std::string(31, ' ');
        out += line;
        out += '\n';
        first = false;
    }
    out += '\n';
}

void package_line(std::string& out, const char* name, unsigned value, bool blankAfter) {
    char line[128];
    std::snprintf(line, sizeof line, "%*s%-20s0x%08X\n", 32, "", name, value);
    out += line;
    if (blankAfter) out += '\n';
}

void block1(std::string& out) {
    char line[160];
    out += "\n";
    out += "Application Usage:\n";
    std::snprintf(line, sizeof line, "%s <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n", kAppName);
    out += line;
    out += "    [-d serial_num]\n";
    out += "    [-t transport] [-r router_serial]\n";
    out += "    [-s serial_port] [-o baud_rate]\n";
    out += "\n";
    out += "  Velmarine Update and Maintenance Application\n";
    out += "    -H -h or --help for full usage information.\n";
    out += "\n";
}

void block2(std::string& out) {
    out += "  Parameters to commands:\n";
    entry(out, "-i <corvane_directory>",
          {"The Corvane directory used for storage of ", "firmware files. [Default: ~/.corvane ]."}, false);
    entry(out, "-b <build number>",
          {"Build version of the firmware to transfer.", "[Default: latest version available]."}, false);
    entry(out, "-d <device>", {"Device serial number of the device to access."}, false);
    entry(out, "-t <transport type>", {"communications method [USB,TCP,RECOVER]."}, false);
    entry(out, "-f <bird file>", {"Firmware file to be transferred to device."}, false);
    entry(out, "-r <router serial>", {"indirect connection through router device"}, false);
    entry(out, "-s <serial port>", {"name of serial port to use for recovery"}, false);
    entry(out, "-o <baud rate>",
          {"baud rate for serial port (2400, 4800, 9600,", "19200, 38400, 57600, 115200, 230400)"}, false);
    out += "  Commands:\n";
    entry(out, "-B", {"list the Builds available for given device."}, true);
    entry(out, "-L", {"list the local Builds available for given device."}, true);
    entry(out, "-D", {"Discover devices that are currently connected."}, true);
    entry(out, "-G",
          {"Get build file from the Corvane server and", "store on local machine for download to device.",
           "Must specify a specific device [\"-d\" option].", "Default is to obtain the latest build for the",
           "given device, override with \"-b\" option."},
          true);
    entry(out, "-U",
          {"Update the firmware on device specified.", "Must specify a specific device [\"-d\" option].",
           "Default is to download the latest build for the", "given device, override with \"-b\" option or",
           "specify specific BIRD file using \"-f\" option."},
          false);
    entry(out, "-J", {""}, false);
    entry(out, "-H or -h", {"Display extended usage information."}, true);
}

void block3(std::string& out) {
    const std::string serverDefault = "Default: " + _server_host_port(UPDATER_DEFAULT_SERVER_URL);
    out += "  Extended Parameters:\n";
    entry(out, "-e", {"echoing of bytes enabled during recovery."}, true);
    entry(out, "-m", {"Attemps to use UEIBytes for faster loading"}, false);
    entry(out, "-l 'log message'", {"message to place in device history log"}, false);
    entry(out, "-k <filename>", {"log messages written into given filename", "Default:[APP.log]"}, false);
    entry(out, "-u <host:port>", {"The hostname and port of the update server", serverDefault.c_str()}, false);
    out += "  Extended Commands:\n";
    entry(out, "-I",
          {"View stored device information.", "Must either use DISCOVER command [\"-D\"] or",
           "specify a specific device [\"-d\" option]."},
          true);
    entry(out, "-OVERRIDE",
          {"Override the model checks for BIRD firmware files.",
           "This option should only be used when authorized by", "Corvane development engineers."},
          true);
    entry(out, "-N", {"Get fingerprint from a device, requires -s"}, true);
    entry(out, "-X <BIT_MASK>", {"Bitmask for Logging"}, false);
    package_line(out, "DEBUG_Updater", 0x00000001, false);
    package_line(out, "DEBUG_History", 0x00000002, false);
    package_line(out, "DEBUG_Attributes", 0x00000004, false);
    package_line(out, "DEBUG_BirdFile", 0x00000008, false);
    package_line(out, "DEBUG_Network", 0x00000010, false);
    package_line(out, "DEBUG_ServerComm", 0x00000020, true);
    package_line(out, "DEBUG_Network", 0x00000100, false);
    package_line(out, "DEBUG_Network_SR", 0x00000200, false);
    package_line(out, "DEBUG_Network_FIRM", 0x00000400, true);
    package_line(out, "DEBUG_NXPSerial", 0x00001000, false);
    package_line(out, "DEBUG_NXPSerial_E", 0x00002000, false);
    package_line(out, "DEBUG_NXPSerial_SR", 0x00004000, true);
    package_line(out, "DEBUG_APP", 0x00010000, true);
    package_line(out, "DEBUG_iMXSerial", 0x10000000, true);
    entry(out, "-C", {"Check the given BIRDFILE"}, true);
}

void block4(std::string& out) {
    out += " Sample usage:\n";
    out += "\n";
    sample(out, "-D",
           {"Discover all devices connected by either USB or TCPIP.",
            "Records the device information into the settings for that device."});
    sample(out, "-D -t USB",
           {"Discover all the devices connected by USB. Records the",
            "device information into the settings for that device."});
    sample(out, "-D -t USB -d 0F5849A", {"Discover settings of the specific device (serial number 0x40F5849A)"});
    sample(out, "-G -d 40F5849A",
           {"Get the latest firmware for the given device.",
            "Downloads the firmware file into the updater specific device directory."});
    sample(out, "-U -d 40F5849A",
           {"Update the firmware on the specific device.", "Without other options, this command will try to locate",
            "the latest firmware version to be used for updating the device."});
    sample(out, "-G -d 40F5849A -b 99528558",
           {"Get the specified build's firmware for the given device.",
            "Downloads the firmware file into the updater's specific",
            "device directory with the build number as the filename."});
    sample(out, "-G -U -d 40F5849A",
           {"Get the latest firmware for the given device.", "Downloads the firmware file into the updater specific",
            "device directory. After download, update the firmware", "using the latest release."});
    sample(out, "-U -t RECOVER -s /dev/serial",
           {"Update the firmware as described above, but uses the serial interface",
            "in communicating with the device to install the latest firmware."});
    out += " Sample usage for network discovery and updates:\n";
    out += "\n";
    sample(out, "-D -r D272031D",
           {"Discover all devices connected to the I2C Velmarine network", "of the given routing device D272031D."});
    sample(out, "-G -U -d 2181F0EE -r D272031D",
           {"Get and Update to the latest firmware for device 2181F0EE",
            "indirectly through routing device D272031D."},
           true);
}

}  // namespace

std::string _server_host_port(const std::string& url) {
    std::string rest = url;
    std::string port = "80";
    const auto scheme = rest.find("://");
    if (scheme != std::string::npos) {
        if (rest.compare(0, scheme, "https") == 0) port = "443";
        rest = rest.substr(scheme + 3);
    }
    rest = rest.substr(0, rest.find('/'));
    if (rest.find(':') != std::string::npos) return rest;
    return rest + ":" + port;
}

void _display_app_version(UpdaterDisplayInterface& display) {
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s (%s)", kAppName,
                    "Version: " UPDATER_VERSION_NUMBER " " UPDATER_BUILD_DATE);
}

void _display_copyright(UpdaterDisplayInterface& display) {
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Copyright (c) 2026 Corvane. All rights reserved.");
}

std::string _usage_text(bool extended, bool full) {
    std::string out;
    block1(out);
    if (full) block2(out);
    if (full && extended) block3(out);
    if (full) block4(out);
    return out;
}

void _display_usage(bool extended, bool full) {
    const std::string text = _usage_text(extended, full);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}
