#pragma once
// A scratch directory that disappears with the test.
#include <stdlib.h>

#include <string>

#include "lib/unix/aDirectory.h"

class TempDir {
public:
    TempDir()
    {
        char tmpl[] = "/tmp/unit_unix.XXXXXX";
        if (mkdtemp(tmpl))
            path_ = tmpl;
    }
    ~TempDir()
    {
        if (!path_.empty())
            aDirectory_DeleteTree(path_.c_str());
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};
