#pragma once
// The reference update server and a catalog for end-to-end tests. The server binds
// 127.0.0.1 on a free port inside the test's private network namespace; its request
// log goes to a file so tests can check which requests were made.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/process_runner.h"

namespace server_e2e {

namespace fs = std::filesystem;

inline std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// A fresh directory under the build tree, removed at the end.
class TempDir {
public:
    explicit TempDir(const std::string& tag) {
        std::string templ = std::string(TEST_BINARY_DIR) + "/tmp-" + tag + "-XXXXXX";
        path_ = ::mkdtemp(templ.data());
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// Writes BIRD files with birdtool into CATALOG/<serial>/ (or its hidden/ folder).
inline bool make_build(const fs::path& catalog, const std::string& serial, uint32_t build, const std::string& version,
                       size_t imageBytes = 2048, bool hidden = false) {
    fs::path dir = catalog / serial;
    if (hidden) dir /= "hidden";
    fs::create_directories(dir);
    fs::path image = catalog / ("image-" + std::to_string(build) + ".bin");
    {
        std::ofstream out(image, std::ios::binary);
        uint32_t x = build * 2654435761u + 1;
        for (size_t i = 0; i < imageBytes; ++i) {
            x = x * 1103515245u + 12345u;
            out.put(static_cast<char>(x >> 24));
        }
    }
    ProcessResult r = run_process({std::string(TEST_BINARY_DIR) + "/tools/birdtool/birdtool", "create", "-o",
                                   (dir / (std::to_string(build) + ".bird")).string(), "--firmware",
                                   "0:" + image.string(), "--build", std::to_string(build), "--version", version,
                                   "--serial", serial, "--model", "HUB"});
    fs::remove(image);
    return r.exitStatus == 0;
}

class UpdateServer {
public:
    ~UpdateServer() { stop(); }

    // False when the server did not report its port within 10 s. A prefix runs the
    // server through another command, such as `ip netns exec <ns>` for a lab's host side.
    bool start(const fs::path& catalog, std::vector<std::string> extra = {}, std::vector<std::string> prefix = {}) {
        log_ = catalog.parent_path() / ("server-" + std::to_string(::getpid()) + ".log");
        std::vector<std::string> args = std::move(prefix);
        args.insert(args.end(), {std::string(TEST_BINARY_DIR) + "/tools/update_server/update_server", "--catalog",
                                 catalog.string(), "--port", "0"});
        args.insert(args.end(), extra.begin(), extra.end());
        int out[2];
        if (::pipe(out) != 0) return false;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setpgid(0, 0);  // stop() ends whatever the prefix started along with the server
            ::dup2(out[1], 1);
            int err = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (err >= 0) ::dup2(err, 2);
            ::close(out[0]);
            ::close(out[1]);
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execvp(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        std::string line;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            pollfd p{out[0], POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            char b[256];
            ssize_t n = ::read(out[0], b, sizeof b);
            if (n <= 0) break;
            line.append(b, static_cast<size_t>(n));
        }
        ::close(out[0]);
        const std::string banner = "listening on ";
        if (line.rfind(banner, 0) != 0) return false;
        url_ = line.substr(banner.size(), line.find('\n') - banner.size());
        return true;
    }

    void stop() {
        if (pid_ <= 0) return;
        ::kill(-pid_, SIGTERM);
        for (int i = 0; i < 100; ++i) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ::kill(-pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    const std::string& url() const { return url_; }
    std::string log() const { return read_file(log_); }

private:
    pid_t pid_ = -1;
    std::string url_;
    fs::path log_;
};

// Every file under a directory with its content, for "nothing changed" checks.
inline std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> files;
    if (!fs::exists(root)) return files;
    for (auto& e : fs::recursive_directory_iterator(root))
        files[fs::relative(e.path(), root).string() + (e.is_directory() ? "/" : "")] =
            e.is_directory() ? "" : read_file(e.path());
    return files;
}

}  // namespace server_e2e
