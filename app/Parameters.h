#pragma once
// Everything the command line can say, filled by the option scanner and read by main.
#include <cstdint>
#include <string>

#include "app/Commands.h"
#include "build_config.h"

// Transport values of -t. An invalid -t leaves TRANSPORT_INVALID behind.
constexpr uint32_t TRANSPORT_INVALID = 0;
constexpr uint32_t TRANSPORT_USB = 1;
constexpr uint32_t TRANSPORT_TCPIP = 2;
constexpr uint32_t TRANSPORT_RECOVER = 0xFF;

struct Parameters {
    CommandsClass commands;
    uint32_t serialNumber = 0;
    uint32_t routerSerialNumber = 0;
    uint32_t transport = TRANSPORT_USB;
    bool transportGiven = false;
    std::string serialPort;
    uint32_t baudRate = 115200;
    uint8_t moduleAddress = 0;
    std::string birdFile;
    std::string build;
    std::string serverUrl = UPDATER_DEFAULT_SERVER_URL;
    std::string storageRoot;
    std::string appName;
    std::string homeDirectory;
    bool override = false;
    bool ueiBytesLoad = true;
    uint32_t logMask = 0;
    bool logMaskGiven = false;
    bool helpRequested = false;
    std::string logFile = "Updater.log";
    std::string logMessage;
    bool echo = false;
    bool nFlag = false;
};
