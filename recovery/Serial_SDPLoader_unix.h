#pragma once
// The serial download protocol over the boot ROM's UART (115200 bit/s, 8N1, raw).
#include "recovery/SDPLoader_Interface.h"

struct PrivateSerial_SDPLoader;

class Serial_SDPLoader : public SDPLoader_Interface {
public:
    // A port that takes no byte for this long, retried every millisecond, is reported failed.
    static constexpr int WRITE_STALL_LIMIT_MS = 2000;

    // The path is borrowed: it must outlive the transport.
    explicit Serial_SDPLoader(const char* port);
    ~Serial_SDPLoader() override;
    Serial_SDPLoader(const Serial_SDPLoader&) = delete;
    Serial_SDPLoader& operator=(const Serial_SDPLoader&) = delete;

    bool init() override;
    int writeData(const std::vector<uint8_t>& packet) override;
    int readData(std::vector<uint8_t>& reply, int timeoutMs) override;
    bool getDataFromBuffer(const std::vector<uint8_t>& reply, size_t index, uint32_t& value) override;

private:
    PrivateSerial_SDPLoader* p_;
};
