#include "updater/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace {

// Temporary names begin with "." so store listings skip them as they skip the
// attributes file, should a crash leave one behind.
std::string temporaryName(const std::string& path, unsigned attempt) {
    static std::atomic<unsigned> counter{0};
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".tmp-%d-%u-%u", int(getpid()), counter.fetch_add(1), attempt);
    return dir + "." + base + suffix;
}

void syncDirectory(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);  // makes the rename itself durable; best effort
        ::close(fd);
    }
}

}  // namespace

aErr AtomicFile_Write(const std::string& path, const uint8_t* data, size_t length, int* sysError) {
    auto failWith = [&](aErr code, int err) {
        if (sysError) *sysError = err;
        return code;
    };
    if (data == nullptr && length > 0) return failWith(aErrParam, EINVAL);

    std::string temp;
    int fd = -1;
    for (unsigned attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        temp = temporaryName(path, attempt);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) return failWith(aErrNotFound, errno);

    size_t done = 0;
    while (done < length) {
        ssize_t n = ::write(fd, data + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int err = n < 0 ? errno : EIO;
            ::close(fd);
            ::unlink(temp.c_str());
            return failWith(aErrIO, err);
        }
        done += size_t(n);
    }
    if (::fsync(fd) != 0) {
        int err = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        return failWith(aErrIO, err);
    }
    if (::close(fd) != 0) {
        int err = errno;
        ::unlink(temp.c_str());
        return failWith(aErrIO, err);
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        int err = errno;
        ::unlink(temp.c_str());
        return failWith(aErrIO, err);
    }
    syncDirectory(path);
    return aErrNone;
}
