#include "recovery/Serial_SDPLoader_unix.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

struct PrivateSerial_SDPLoader {
    int fd = 0;
    const char* port = nullptr;
    termios settings{};
};

Serial_SDPLoader::Serial_SDPLoader(const char* port) : p_(new PrivateSerial_SDPLoader) { p_->port = port; }

Serial_SDPLoader::~Serial_SDPLoader() {
    if (p_->fd > 0) {
        tcflush(p_->fd, TCIOFLUSH);
        close(p_->fd);
    }
    delete p_;
}

bool Serial_SDPLoader::init() {
    if (p_->port == nullptr) return false;
    int fd = open(p_->port, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return false;
    if (!isatty(fd) || tcgetattr(fd, &p_->settings) != 0) {
        close(fd);
        return false;
    }
    p_->fd = fd;
    termios& t = p_->settings;
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    t.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    t.c_iflag = 0;
    t.c_oflag = 0;
    t.c_lflag = 0;
    tcflush(fd, TCIOFLUSH);
    tcsetattr(fd, TCSANOW, &t);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    tcflush(fd, TCIOFLUSH);
    return true;
}

int Serial_SDPLoader::writeData(const std::vector<uint8_t>& packet) {
    if (p_->fd <= 0 || packet.empty()) return -1;
    const uint8_t* data = packet.data() + 1;  // no report identifier on a serial line
    size_t left = packet.size() - 1;
    auto lastProgress = std::chrono::steady_clock::now();
    while (left > 0) {
        ssize_t n = write(p_->fd, data, left);
        if (n > 0) {
            data += n;
            left -= size_t(n);
            lastProgress = std::chrono::steady_clock::now();
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
        // The port is full; give the line time, but not forever.
        if (std::chrono::steady_clock::now() - lastProgress > std::chrono::milliseconds(WRITE_STALL_LIMIT_MS))
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // Let the bytes leave the port before any timed read for the answer starts:
    // at 115200 bit/s a full data packet alone needs about 90 ms on the line.
    tcdrain(p_->fd);
    return int(packet.size() - 1);
}

int Serial_SDPLoader::readData(std::vector<uint8_t>& reply, int timeoutMs) {
    if (p_->fd <= 0) return 0;
    if (timeoutMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
    int appended = 0;
    uint8_t byte;
    while (read(p_->fd, &byte, 1) == 1) {
        reply.push_back(byte);
        ++appended;
    }
    return appended;
}

bool Serial_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& reply, size_t index, uint32_t& value) {
    if (index > 15 || reply.size() < (index + 2) * 4) return false;
    for (size_t i = 0; i < 4; ++i) value |= uint32_t(reply[index + 4 + i]) << (8 * i);
    return true;
}
