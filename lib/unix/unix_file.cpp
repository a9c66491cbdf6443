#include "lib/unix/aFile.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

namespace {
constexpr uint16_t kFileTag = 0xFEED;

enum class LastOp { None, Read, Write };
} // namespace

struct aFile {
    uint16_t tag;
    aFileMode mode;
    FILE* fp;
    // A stream opened for reading and appending must be repositioned between a
    // write and a read (and back); remember which came last.
    LastOp last;
};

namespace {

bool valid(aFileRef f)
{
    return f && f->tag == kFileTag && f->fp;
}

bool pathUsable(const char* path)
{
    return path && *path && strlen(path) <= aFILE_MAXPATHLENGTH;
}

void switchTo(aFileRef f, LastOp op)
{
    if (f->last != LastOp::None && f->last != op)
        fseek(f->fp, 0, SEEK_CUR);
    f->last = op;
}

bool canRead(aFileRef f)
{
    return f->mode == aFileModeReadOnly || f->mode == aFileModeAppend;
}

bool canWrite(aFileRef f)
{
    return f->mode == aFileModeWriteOnly || f->mode == aFileModeAppend;
}

} // namespace

bool aFile_Exists(const char* path)
{
    struct stat st;
    return pathUsable(path) && stat(path, &st) == 0 && !S_ISDIR(st.st_mode);
}

aFileRef aFile_Open(const char* path, aFileMode mode)
{
    if (!pathUsable(path))
        return nullptr;
    const char* how = nullptr;
    switch (mode) {
    case aFileModeReadOnly: how = "rb"; break;
    case aFileModeWriteOnly: how = "wb"; break;
    case aFileModeAppend: how = "ab+"; break;
    default: return nullptr;
    }
    auto* f = new (std::nothrow) aFile{};
    if (!f)
        return nullptr;
    f->fp = fopen(path, how);
    if (!f->fp) {
        delete f;
        return nullptr;
    }
    if (mode == aFileModeAppend && fseek(f->fp, 0, SEEK_END) != 0) {
        fclose(f->fp);
        delete f;
        return nullptr;
    }
    f->mode = mode;
    f->last = LastOp::None;
    f->tag = kFileTag;
    return f;
}

aErr aFile_Close(aFileRef* pFile)
{
    if (!pFile)
        return aErrParam;
    aFileRef f = *pFile;
    *pFile = nullptr;
    if (!valid(f))
        return aErrParam;
    fclose(f->fp);
    f->tag = 0;
    f->fp = nullptr;
    delete f;
    return aErrNone;
}

aErr aFile_Read(aFileRef file, uint8_t* buffer, size_t length, size_t* pRead)
{
    if (pRead)
        *pRead = 0;
    if (!valid(file) || !buffer)
        return aErrParam;
    if (!canRead(file))
        return aErrMode;
    switchTo(file, LastOp::Read);
    size_t n = fread(buffer, 1, length, file->fp);
    if (pRead)
        *pRead = n;
    if (n == 0 && length != 0)
        return aErrEOF;
    return aErrNone;
}

aErr aFile_Write(aFileRef file, const uint8_t* data, size_t length, size_t* pWritten)
{
    if (pWritten)
        *pWritten = 0;
    if (!valid(file) || !data)
        return aErrParam;
    if (!canWrite(file))
        return aErrMode;
    switchTo(file, LastOp::Write);
    size_t n = fwrite(data, 1, length, file->fp);
    if (pWritten)
        *pWritten = n;
    if (n == 0 && length != 0)
        return aErrIO;
    return aErrNone;
}

aErr aFile_Seek(aFileRef file, long offset, int origin)
{
    if (!valid(file))
        return aErrParam;
    uint32_t size = 0;
    long current = ftell(file->fp);
    if (current < 0 || aFile_GetSize(file, &size) != aErrNone)
        return aErrIO;
    long base = 0;
    if (origin == aSeekCurrent)
        base = current;
    else if (origin == aSeekEnd)
        base = static_cast<long>(size);
    long target = base + offset;
    if (target < 0 || target > static_cast<long>(size))
        return aErrRange;
    if (fseek(file->fp, target, SEEK_SET) != 0)
        return aErrIO;
    file->last = LastOp::None;
    if (ftell(file->fp) < 0)
        return aErrIO;
    return aErrNone;
}

aErr aFile_GetSize(aFileRef file, uint32_t* pSize)
{
    if (!valid(file) || !pSize)
        return aErrParam;
    long saved = ftell(file->fp);
    if (saved < 0 || fseek(file->fp, 0, SEEK_END) != 0)
        return aErrIO;
    long end = ftell(file->fp);
    if (end < 0 || fseek(file->fp, saved, SEEK_SET) != 0)
        return aErrIO;
    file->last = LastOp::None;
    *pSize = static_cast<uint32_t>(end);
    return aErrNone;
}

aErr aFile_ReadLine(aFileRef file, char* buffer, size_t size, size_t* pLength)
{
    if (pLength)
        *pLength = 0;
    if (buffer && size)
        buffer[0] = '\0';
    if (!valid(file) || !buffer || size == 0)
        return aErrParam;
    if (!canRead(file))
        return aErrMode;
    switchTo(file, LastOp::Read);

    size_t n = 0;
    bool newline = false;
    while (n < size - 1) {
        int c = fgetc(file->fp);
        if (c == EOF)
            break;
        buffer[n++] = static_cast<char>(c);
        if (c == '\n') {
            newline = true;
            break;
        }
    }
    buffer[n] = '\0';
    if (pLength)
        *pLength = n;
    if (n == 0) {
        if (ferror(file->fp)) {
            clearerr(file->fp);
            return aErrIO;
        }
        if (feof(file->fp))
            return aErrEOF;
    }
    if (n == size - 1 && !newline) {
        // A line that ends exactly where the file ends fills the buffer completely
        // and is whole; only a line with more characters waiting is cut.
        int c = fgetc(file->fp);
        if (c == EOF)
            return aErrNone;
        ungetc(c, file->fp);
        return aErrOverrun;
    }
    return aErrNone;
}

aErr aFile_SetUnbuffered(aFileRef file)
{
    if (!valid(file))
        return aErrParam;
    if (!canWrite(file) || setvbuf(file->fp, nullptr, _IONBF, 0) != 0)
        return aErrMode;
    return aErrNone;
}

aErr aFile_Printf(aFileRef file, const char* format, ...)
{
    if (!valid(file) || !format)
        return aErrParam;
    if (!canWrite(file))
        return aErrMode;
    switchTo(file, LastOp::Write);
    va_list args;
    va_start(args, format);
    int n = vfprintf(file->fp, format, args);
    va_end(args);
    return n < 0 ? aErrIO : aErrNone;
}

aErr aFile_Delete(const char* path)
{
    if (!path)
        return aErrParam;
    if (strlen(path) > aFILE_MAXPATHLENGTH)
        return aErrFileNameLength;
    if (unlink(path) == 0)
        return aErrNone;
    switch (errno) {
    case ENOENT: return aErrNotFound;
    case EACCES:
    case EPERM: return aErrPermission;
    default: return aErrIO;
    }
}
