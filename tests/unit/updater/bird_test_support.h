#pragma once
// Shared helpers of the BIRD and store tests: a scratch directory per test and a
// capture of the diagnostic log.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/Log.h"
#include "lib/unix/aDirectory.h"
#include "tools/birdtool/birdwriter.h"

class ScratchDir {
public:
    ScratchDir() {
        char tmpl[] = "/tmp/bird-test-XXXXXX";
        const char* made = mkdtemp(tmpl);
        path_ = made ? made : "";
    }
    ~ScratchDir() {
        if (!path_.empty()) aDirectory_DeleteTree(path_.c_str());
    }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    std::string write(const std::string& name, const std::vector<uint8_t>& bytes) const {
        std::string p = file(name);
        birdwriter::write_file(p, bytes);
        return p;
    }

private:
    std::string path_;
};

// Captures every log line of the given packages while it lives.
class LogCapture {
public:
    explicit LogCapture(uint32_t packages) : saved_(Log::package_bitmask), savedFh_(Log::fh) {
        file_ = std::tmpfile();
        Log::SetOutput(file_);
        Log::package_bitmask = packages;
    }
    ~LogCapture() {
        Log::SetOutput(savedFh_);
        Log::package_bitmask = saved_;
        if (file_) std::fclose(file_);
    }
    std::string text() const {
        std::fflush(file_);
        std::string out;
        std::rewind(file_);
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) out.append(buf, n);
        return out;
    }

private:
    FILE* file_;
    uint32_t saved_;
    FILE* savedFh_;
};
