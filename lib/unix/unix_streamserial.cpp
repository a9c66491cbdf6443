// Serial ports through the POSIX terminal interface, plain or framed.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <new>
#include <string>
#include <thread>

#include "lib/common/aStream.h"
#include "lib/unix/aFile.h"

namespace {

constexpr uint16_t kSerialCheck = 0xBEEF;

struct SerialState {
    uint16_t check;
    std::string path;
    int fd;  // 0 when closed
    struct termios saved;
    struct termios applied;
    uint32_t speedIndex;
};

SerialState* state(void* ref)
{
    auto* s = static_cast<SerialState*>(ref);
    return s && s->check == kSerialCheck ? s : nullptr;
}

speed_t speedFor(uint32_t index)
{
    static const speed_t speeds[] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400};
    return index < sizeof speeds / sizeof speeds[0] ? speeds[index] : B0;
}

aErr openPort(SerialState* s, bool parity, uint8_t dataBits, uint8_t stopBits)
{
    int fd = open(s->path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        switch (errno) {
        case ENOENT: return aErrNotFound;
        case EACCES:
        case EPERM: return aErrPermission;
        default: return aErrIO;
        }
    }
    auto fail = [&](aErr err) {
        close(fd);
        return err;
    };
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0)
        return fail(aErrIO);
    if (tcgetattr(fd, &s->saved) != 0)
        return fail(aErrIO);

    struct termios t = s->saved;
    t.c_iflag = IGNBRK | (parity ? IGNPAR : 0);
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag = CREAD | CLOCAL | (parity ? PARENB : 0) | (dataBits == 1 ? CS7 : CS8) |
                (stopBits == 1 ? CSTOPB : 0);
    // A read returns at once with whatever is waiting.
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    speed_t speed = speedFor(s->speedIndex);
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    if (tcsetattr(fd, TCSANOW, &t) != 0 || tcflush(fd, TCIOFLUSH) != 0)
        return fail(aErrIO);
    s->applied = t;
    s->fd = fd;
    return aErrNone;
}

aErr sSerialGet(uint8_t* pByte, void* ref)
{
    SerialState* s = state(ref);
    if (!s || !pByte || s->fd <= 0)
        return aErrParam;
    ssize_t n = read(s->fd, pByte, 1);
    if (n == 1)
        return aErrNone;
    if (n == 0 || errno == EAGAIN || errno == EINTR)
        return aErrNotReady;
    return aErrIO;
}

aErr sSerialWrite(const uint8_t* pData, size_t length, void* ref)
{
    SerialState* s = state(ref);
    if (!s || !pData || s->fd <= 0)
        return aErrParam;
    ssize_t n = write(s->fd, pData, length);
    if (n < 0 || static_cast<size_t>(n) != length)
        return aErrIO;
    tcdrain(s->fd);
    return aErrNone;
}

aErr sSerialPut(const uint8_t* pByte, void* ref)
{
    return sSerialWrite(pByte, 1, ref);
}

aErr sSerialWait(uint32_t ms, void* ref)
{
    SerialState* s = state(ref);
    if (!s || s->fd <= 0)
        return aErrParam;
    struct pollfd p{s->fd, POLLIN, 0};
    int rc = poll(&p, 1, static_cast<int>(ms));
    if (rc > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
        // Hung up (the far end of a pseudo-terminal closed): reads fail at once
        // and nothing will come, so do not let the caller spin on it.
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return aErrTimeout;
    }
    return rc > 0 ? aErrNone : aErrTimeout;
}

void closePort(SerialState* s)
{
    if (s->fd > 0) {
        tcsetattr(s->fd, TCSANOW, &s->saved);
        close(s->fd);
        s->fd = 0;
    }
}

aErr sSerialDelete(void* ref)
{
    SerialState* s = state(ref);
    if (!s)
        return aErrParam;
    closePort(s);
    s->check = 0;
    delete s;
    return aErrNone;
}

SerialState* newState(const char* path, uint32_t speedIndex)
{
    if (!path || strlen(path) > aFILE_MAXPATHLENGTH)
        return nullptr;
    auto* s = new (std::nothrow) SerialState{};
    if (!s)
        return nullptr;
    s->path = path;
    s->speedIndex = speedIndex;
    s->check = kSerialCheck;
    return s;
}

} // namespace

aErr aStream_CreateSerial(const char* path, uint32_t speedIndex, bool parity, uint8_t dataBits,
                          uint8_t stopBits, aStream** pStream)
{
    if (!pStream)
        return aErrResource;
    *pStream = nullptr;
    if (!path || dataBits > 1 || stopBits > 1)
        return aErrResource;
    SerialState* s = newState(path, speedIndex);
    if (!s)
        return aErrResource;
    aStream* stream = aStream_Create(sSerialGet, sSerialPut, sSerialWrite, sSerialDelete, s);
    if (!stream) {
        delete s;
        return aErrResource;
    }
    aStream_SetWaitProc(stream, sSerialWait);
    aErr err = openPort(s, parity, dataBits, stopBits);
    if (err != aErrNone) {
        aStream_Destroy(&stream);
        return err;
    }
    *pStream = stream;
    return aErrNone;
}

aErr aStream_CreateSerial_Packetized(const char* path, uint32_t speedIndex, bool parity,
                                     uint8_t dataBits, uint8_t stopBits, aStream** pStream)
{
    if (!pStream)
        return aErrResource;
    *pStream = nullptr;
    if (!path || dataBits > 1 || stopBits > 1)
        return aErrResource;
    SerialState* s = newState(path, speedIndex);
    if (!s)
        return aErrResource;
    aErr err = openPort(s, parity, dataBits, stopBits);
    if (err != aErrNone) {
        delete s;
        return err;
    }
    err = aStream_CreateCobsEncodingWithWait(sSerialGet, sSerialPut, sSerialWrite, sSerialDelete,
                                            sSerialWait, s, pStream);
    if (err != aErrNone) {
        closePort(s);
        delete s;
        *pStream = nullptr;
    }
    return err;
}
