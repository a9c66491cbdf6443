#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "app/Log.h"
#include "app/Options.h"
#include "recording_display.h"

namespace {

struct Parsed {
    int rc;
    Parameters p;
    RecordingDisplay display;
};

void parse(Parsed& out, std::vector<std::string> args) {
    args.insert(args.begin(), "/usr/local/bin/Updater");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    out.rc = _get_params(out.display, static_cast<int>(args.size()), argv.data(), out.p);
}

class OptionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        Log::package_bitmask = 0;
        Log::SetOutput(nullptr);
    }
    void TearDown() override { Log::package_bitmask = 0; }
};

struct ScanCase {
    std::vector<std::string> args;
    int rc;
    std::vector<std::string> errors;
    std::function<bool(const Parameters&)> check;
};

}  // namespace

TEST_F(OptionsTest, ScannerCases) {
    auto untouched = [](const Parameters& p) {
        return p.commands.Get() == 0 && p.serialNumber == 0 && !p.override && !p.logMaskGiven && !p.helpRequested &&
               p.build.empty() && p.storageRoot.empty();
    };
    const std::vector<ScanCase> cases = {
        {{"-d", "0x40F5849A"}, 0, {}, [](auto& p) { return p.serialNumber == 0x40F5849Au; }},
        {{"-d", "0X40F5849A"}, 0, {}, [](auto& p) { return p.serialNumber == 0x40F5849Au; }},
        {{"-d", "40f5849a"}, 0, {}, [](auto& p) { return p.serialNumber == 0x40F5849Au; }},
        {{"-d=40F5849A"}, 0, {}, [](auto& p) { return p.serialNumber == 0x40F5849Au; }},
        {{"-d", "1234567890"}, 0, {}, [](auto& p) { return p.serialNumber == 0xFFFFFFFFu; }},
        {{"-d", "0x"}, 1, {"Invalid serial number obtained from argument []"}, nullptr},
        {{"-d", "G1"}, 1, {"Invalid serial number obtained from argument [G1]"}, nullptr},
        {{"-d", "0"}, 1, {"Invalid serial number obtained from argument [0]"}, nullptr},
        {{"-d="}, 1, {"Invalid serial number obtained from argument []"}, nullptr},
        {{"-r", "0xD272031D"}, 0, {}, [](auto& p) { return p.routerSerialNumber == 0xD272031Du; }},
        {{"-r", "xyz"}, 1, {"Invalid router serial number obtained from argument [xyz]"}, nullptr},
        // A value that looks like an option is not taken: -d is dropped and -U read as a command.
        {{"-d", "-U"}, 0, {}, [](auto& p) { return p.serialNumber == 0 && p.commands.Get() == COMMAND_UPDATE; }},
        {{"-d"}, 0, {}, untouched},
        // Unknown, ambiguous or misused tokens are dropped without a word.
        {{"-D=1"}, 0, {}, untouched},
        {{"-q"}, 0, {}, untouched},
        {{"-Bx"}, 0, {}, untouched},
        {{"-DU"}, 0, {}, untouched},
        {{"-"}, 0, {}, untouched},
        {{"---help"}, 0, {}, untouched},
        {{"-Ov"}, 0, {}, untouched},
        {{"-OVERRIDEX"}, 0, {}, untouched},
        {{"stray", "D"}, 0, {}, untouched},
        {{"-O"}, 0, {}, [](auto& p) { return p.override && p.commands.Get() == 0; }},
        {{"-OV"}, 0, {}, [](auto& p) { return p.override; }},
        {{"-OVERR"}, 0, {}, [](auto& p) { return p.override; }},
        {{"--he"}, 0, {}, [](auto& p) { return p.helpRequested && p.commands.IsSet(COMMAND_HELP); }},
        {{"-H"}, 0, {}, [](auto& p) { return p.helpRequested; }},
        // The scan ends at the first help option.
        {{"-h", "-X", "1", "-D"}, 0, {}, [](auto& p) { return p.helpRequested && !p.logMaskGiven && !p.commands.IsSet(COMMAND_DISCOVER); }},
        {{"-X", "1", "-h"}, 0, {}, [](auto& p) { return p.helpRequested && p.logMaskGiven; }},
        {{"-Y", "-h"}, 0, {"Unhandled command: [-Y]"}, [](auto& p) { return p.helpRequested; }},
        {{"-Y"}, 1, {"Unhandled command: [-Y]"}, nullptr},
        {{"-B", "-L", "-D", "-G", "-I", "-U", "-N", "-C", "-J"}, 0, {},
         [](auto& p) {
             return p.commands.Get() == (COMMAND_LIST_BUILDS | COMMAND_LIST_LOCAL | COMMAND_DISCOVER | COMMAND_GET |
                                         COMMAND_INFO | COMMAND_UPDATE | COMMAND_FINGERPRINT | COMMAND_CHECK |
                                         COMMAND_JWT);
         }},
        {{"-Z", "anything"}, 0, {}, [](auto& p) { return p.commands.Get() == COMMAND_Z; }},
        {{"-t", "TCPIP"}, 0, {}, [](auto& p) { return p.transport == 2u && p.transportGiven; }},
        {{"-t", "TCP"}, 0, {}, [](auto& p) { return p.transport == 2u; }},
        {{"-t", "USBX"}, 0, {}, [](auto& p) { return p.transport == 1u && p.transportGiven; }},
        {{"-t", "RECOVERY"}, 0, {}, [](auto& p) { return p.transport == 0xFFu; }},
        {{"-t", "FOO"}, 1, {"Invalid transport type:[FOO]\nMust be one of the following: USB, TCPIP, RECOVER"},
         [](auto& p) { return p.transport == 0u && p.transportGiven; }},
        {{"-t", "usb"}, 1, {"Invalid transport type:[usb]\nMust be one of the following: USB, TCPIP, RECOVER"}, nullptr},
        {{"-t", "RECOVE"}, 1, {"Invalid transport type:[RECOVE]\nMust be one of the following: USB, TCPIP, RECOVER"}, nullptr},
        {{"-b", "00123"}, 0, {}, [](auto& p) { return p.build == "123"; }},
        {{"-b", "abc"}, 0, {}, [](auto& p) { return p.build == "0"; }},
        {{"-b="}, 0, {}, [](auto& p) { return p.build == "0"; }},
        {{"-o", "9600"}, 0, {}, [](auto& p) { return p.baudRate == 9600u; }},
        {{"-o", "9600baud"}, 0, {}, [](auto& p) { return p.baudRate == 0u; }},
        {{}, 0, {}, [](auto& p) { return p.baudRate == 115200u && p.ueiBytesLoad && p.transport == 1u && p.logFile == "Updater.log"; }},
        {{"-m", "0"}, 0, {}, [](auto& p) { return !p.ueiBytesLoad; }},
        {{"-m", "false"}, 0, {}, [](auto& p) { return !p.ueiBytesLoad; }},
        {{"-m", "truest"}, 0, {}, [](auto& p) { return p.ueiBytesLoad; }},
        {{"-m", "10"}, 0, {}, [](auto& p) { return p.ueiBytesLoad; }},
        {{"-i", "/tmp/x", "-f", "a.bird", "-s", "/dev/ttyUSB0", "-u", "http://127.0.0.1:1/cgi/u", "-k", "k.log",
          "-l", "msg", "-e", "-n"},
         0, {},
         [](auto& p) {
             return p.storageRoot == "/tmp/x" && p.birdFile == "a.bird" && p.serialPort == "/dev/ttyUSB0" &&
                    p.serverUrl == "http://127.0.0.1:1/cgi/u" && p.logFile == "k.log" && p.logMessage == "msg" &&
                    p.echo && p.nFlag;
         }},
        // A rejected option fails the parse but the scan still reads the rest.
        {{"-d", "G1", "-D"}, 1, {"Invalid serial number obtained from argument [G1]"},
         [](auto& p) { return p.commands.IsSet(COMMAND_DISCOVER); }},
    };
    for (const auto& c : cases) {
        std::string label;
        for (auto& a : c.args) label += "[" + a + "]";
        SCOPED_TRACE(label);
        Parsed out;
        parse(out, c.args);
        EXPECT_EQ(out.rc, c.rc);
        EXPECT_EQ(out.display.errors, c.errors);
        EXPECT_TRUE(out.display.infos.empty());
        if (c.check) {
            EXPECT_TRUE(c.check(out.p));
        }
        EXPECT_EQ(out.p.appName, "Updater");
    }
}

TEST_F(OptionsTest, LogMaskAppliesAtOnceOrNotAtAll) {
    Parsed ok;
    parse(ok, {"-X", "0x400"});
    EXPECT_EQ(ok.rc, 0);
    EXPECT_TRUE(ok.p.logMaskGiven);
    EXPECT_EQ(Log::package_bitmask, 0x400u);

    Parsed decimal;
    parse(decimal, {"-X=65536"});
    EXPECT_EQ(Log::package_bitmask, 0x10400u);

    Log::package_bitmask = 0;
    Parsed bad;
    parse(bad, {"-X", "12ab", "-D"});
    EXPECT_EQ(bad.rc, 0);
    EXPECT_TRUE(bad.p.logMaskGiven);
    EXPECT_EQ(Log::package_bitmask, 0u);
    EXPECT_TRUE(bad.p.commands.IsSet(COMMAND_DISCOVER));
    EXPECT_EQ(bad.display.errors,
              std::vector<std::string>{"Invalid format for \"-X\" parameter, unprocessed characters [ab]"});
}

TEST_F(OptionsTest, LogLinesOfTheScanFollowTheMaskSetDuringIt) {
    // -X switches logging on for the rest of the scan, so the prefix note of a later
    // -d and the parameter dump both appear.
    char* buffer = nullptr;
    size_t size = 0;
    FILE* sink = open_memstream(&buffer, &size);
    Log::SetOutput(sink);
    Parsed out;
    parse(out, {"-X", "0x10001", "-d", "0x1F"});
    std::fflush(sink);
    const std::string text(buffer, size);
    Log::SetOutput(nullptr);
    std::fclose(sink);
    std::free(buffer);
    EXPECT_EQ(text,
              "Discarding '0x' serial number prefix\n"
              "\nApplication parameters:[Updater]\n"
              "\t[/usr/local/bin/Updater]\n\t[-X]\n\t[0x10001]\n\t[-d]\n\t[0x1F]\n");
}

TEST(OptionMatching, ExactPrefixAndAmbiguous) {
    auto find = [](const char* name) { return _find_option(name, static_cast<unsigned>(std::strlen(name))); };
    EXPECT_STREQ(kOptionTable[find("-o")].text, "-o");  // exact beats the -OVERRIDE prefix
    EXPECT_STREQ(kOptionTable[find("-OVERRIDE")].text, "-OVERRIDE");
    EXPECT_STREQ(kOptionTable[find("--h")].text, "--help");
    EXPECT_EQ(find("--"), OPTION_NO_MATCH);
    EXPECT_EQ(find("-x"), OPTION_NO_MATCH);
    EXPECT_EQ(find("-help"), OPTION_NO_MATCH);  // one hyphen: --help is not a candidate
}

TEST(ValueConversion, HexAndDecimal) {
    struct Case {
        const char* text;
        bool hex;
        uint32_t value;
        int consumed;  // -1: end left untouched
    };
    const Case cases[] = {
        {"40F5849A", true, 0x40F5849Au, 8}, {"ff", true, 0xFFu, 2},        {"", true, 0, 0},
        {"G1", true, 0, -1},                {"0x12", true, 0, -1},         {" 12", true, 0, -1},
        {"123456789", true, 0xFFFFFFFFu, 9}, {"1234", false, 1234, 4},     {"12a", false, 0, -1},
        {"-5", false, 0, -1},               {"4294967296", false, 0xFFFFFFFFu, 10}, {"", false, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        char sentinel = 0;
        char* end = &sentinel;
        uint32_t got = c.hex ? _get_hex_arg(c.text, &end) : _get_int_arg(c.text, &end);
        EXPECT_EQ(got, c.value);
        char* expectedEnd = c.consumed < 0 ? &sentinel : const_cast<char*>(c.text) + c.consumed;
        EXPECT_EQ(end, expectedEnd);
    }
    EXPECT_EQ(_get_hex_arg("12", nullptr), 0u);
    EXPECT_EQ(_get_int_arg("12", nullptr), 0u);
}
