#include "lib/unix/aDirectory.h"

#include <dirent.h>
#include <errno.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

const char* const aDIR_PATH_SEP = "/";

namespace {

constexpr size_t kMaxFurtherComponents = 9;
constexpr size_t kListPathSize = 2048;

bool pointsInto(const char* p, const char* buffer, size_t size)
{
    return p >= buffer && p < buffer + size;
}

// Joins first and the given further components the way every path operation of
// this module does.
aErr joinComponents(char* buffer, size_t size, const char* first,
                    const std::vector<const char*>& further)
{
    if (!buffer || size == 0)
        return aErrParam;
    buffer[0] = '\0';
    if (!first || first == buffer)
        return aErrParam;
    // A component that lives inside the buffer would be overwritten while it is read.
    if (pointsInto(first, buffer, size))
        return aErrParam;
    for (const char* c : further)
        if (pointsInto(c, buffer, size))
            return aErrParam;
    if (further.size() > kMaxFurtherComponents)
        return aErrParam;

    const char sep = aDIR_PATH_SEP[0];
    const size_t sepLen = strlen(aDIR_PATH_SEP);
    size_t len = strlen(first);
    if (len >= size - 1)
        return aErrOverrun;
    memcpy(buffer, first, len + 1);

    for (const char* c : further) {
        size_t room = size - len - 1;
        size_t clen = strlen(c);
        bool endsWithSep = len > 0 && buffer[len - 1] == sep;
        if (room > 1 && !endsWithSep && c[0] != sep) {
            memcpy(buffer + len, aDIR_PATH_SEP, sepLen);
            len += sepLen;
            buffer[len] = '\0';
            room -= sepLen;
        }
        if (clen >= room) {
            buffer[0] = '\0';
            return aErrOverrun;
        }
        memcpy(buffer + len, c, clen + 1);
        len += clen;
    }
    return aErrNone;
}

// mkdir that counts "already exists" as success.
bool makeOne(const char* path, uint16_t mode)
{
    if (aDirectory_Exists(path))
        return true;
    return mkdir(path, static_cast<mode_t>(mode)) == 0 || errno == EEXIST;
}

} // namespace

bool aDirectory_Exists(const char* path)
{
    struct stat st;
    return path && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

aErr aDirectory_Ensure(const char* path, uint16_t mode)
{
    if (!path || !*path)
        return aErrParam;
    if (aDirectory_Exists(path))
        return aErrNone;

    const char sep = aDIR_PATH_SEP[0];
    std::string copy(path);

    // Deepest existing ancestor: cut at each separator from the end until the
    // prefix names a directory.
    size_t start = 0;
    for (size_t i = copy.size(); i-- > 0;) {
        if (copy[i] != sep)
            continue;
        copy[i] = '\0';
        bool exists = aDirectory_Exists(copy.c_str());
        copy[i] = sep;
        if (exists) {
            start = i + 1;
            break;
        }
    }

    // Create each missing prefix in turn, skipping empty components.
    for (size_t i = start; i < copy.size(); ++i) {
        if (copy[i] != sep)
            continue;
        if (i == 0 || copy[i - 1] == sep)
            continue;
        copy[i] = '\0';
        bool ok = makeOne(copy.c_str(), mode);
        copy[i] = sep;
        if (!ok)
            return aErrPermission;
    }
    if (!makeOne(copy.c_str(), mode))
        return aErrPermission;
    // mkdir reports "already exists" for a plain file too: only a directory counts.
    return aDirectory_Exists(path) ? aErrNone : aErrPermission;
}

aErr aDirectory_List(const char* path, aDirectoryListProc proc, void* ref)
{
    if (!path || !proc)
        return aErrParam;
    DIR* dir = opendir(path);
    if (!dir)
        return aErrNotFound;
    char full[kListPathSize];
    while (struct dirent* entry = readdir(dir)) {
        if (aDirectory_JoinPath(full, sizeof full, path, entry->d_name) != aErrNone)
            continue;
        struct stat st;
        if (stat(full, &st) != 0)
            continue;
        aDirectoryListData data{full, static_cast<uint32_t>(st.st_size), S_ISDIR(st.st_mode)};
        if (!proc(&data, ref))
            break;
    }
    closedir(dir);
    return aErrNone;
}

aErr aDirectory_Delete(const char* path)
{
    if (path && rmdir(path) == 0)
        return aErrNone;
    return aErrUnknown;
}

aErr aDirectory_DeleteTree(const char* path)
{
    if (!path)
        return aErrParam;
    if (DIR* dir = opendir(path)) {
        char full[kListPathSize];
        while (struct dirent* entry = readdir(dir)) {
            if (!strcmp(entry->d_name, ".") || !strcmp(entry->d_name, ".."))
                continue;
            if (aDirectory_JoinPath(full, sizeof full, path, entry->d_name) != aErrNone)
                continue;
            // lstat: a link to a directory elsewhere is removed, not emptied.
            struct stat st;
            if (lstat(full, &st) != 0)
                continue;
            if (S_ISDIR(st.st_mode)) {
                if (aDirectory_DeleteTree(full) != aErrNone)
                    break;
            } else if (unlink(full) != 0) {
                perror("aDirectory_DeleteTree");
                printf("---error unlink-ing file [%s]\n", full);
                break;
            }
        }
        closedir(dir);
    }
    return aDirectory_Delete(path);
}

aErr aDirectory_CWD(char* buffer, size_t size)
{
    if (!buffer || size == 0 || !getcwd(buffer, size))
        return aErrParam;
    return aErrNone;
}

aErr aDirectory_ExecutableFilePath(char* buffer, size_t size)
{
    if (!buffer || size == 0)
        return aErrParam;
    ssize_t n = readlink("/proc/self/exe", buffer, size - 1);
    if (n < 0) {
        buffer[0] = '\0';
        return aErrRead;
    }
    buffer[n] = '\0';
    return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* buffer, size_t size)
{
    if (!buffer || size == 0)
        return aErrParam;
    buffer[0] = '\0';

    std::string home;
    bool found = false;
    long bufSize = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> scratch(bufSize > 0 ? static_cast<size_t>(bufSize) : 16384);
    struct passwd pw;
    struct passwd* result = nullptr;
    while (getpwuid_r(getuid(), &pw, scratch.data(), scratch.size(), &result) == ERANGE)
        scratch.resize(scratch.size() * 2);
    if (result && result->pw_dir) {
        home = result->pw_dir;
        found = true;
    } else if (const char* env = getenv("HOME"); env && *env) {
        home = env;
        found = true;
    }
    if (!found)
        return aErrNotFound;
    if (home.size() >= size)
        return aErrOverrun;
    memcpy(buffer, home.c_str(), home.size() + 1);
    return aErrNone;
}

aErr aDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second)
{
    std::vector<const char*> further;
    if (second)
        further.push_back(second);
    return joinComponents(buffer, size, first, further);
}

aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...)
{
    std::vector<const char*> further;
    va_list args;
    va_start(args, first);
    // Collect one past the limit so that an over-long list is recognised without
    // walking arbitrarily far.
    while (further.size() <= kMaxFurtherComponents) {
        const char* c = va_arg(args, const char*);
        if (!c)
            break;
        further.push_back(c);
    }
    va_end(args);
    return joinComponents(buffer, size, first, further);
}
