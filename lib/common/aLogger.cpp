#include "lib/common/aLogger.h"

#include <atomic>
#include <chrono>
#include <new>
#include <thread>

#include "lib/common/aPacketDebug.h"

#define aLOGGER_CHECK 0xDEED

struct aLogger {
    uint16_t check = aLOGGER_CHECK;
    uint32_t value = 0;
    aLoggerWriter writer = nullptr;
    aFileRef file = nullptr;
    std::thread thread;
    std::atomic<bool> running{false};
};

namespace {

bool sValid(const aLogger* logger) { return logger != nullptr && logger->check == aLOGGER_CHECK; }

void sLoggerThread(aLogger* logger)
{
    // The writer paces the loop.
    while (logger->running)
        logger->writer(logger->file, logger->value);
}

} // namespace

extern "C" {

aLogger* aLogger_Create(uint32_t value, aLoggerWriter writer, const char* path)
{
    if (writer == nullptr)
        return nullptr;
    aFileRef file = aFile_Open(path, aFileModeAppend);
    if (file == nullptr)
        return nullptr;
    aFile_SetUnbuffered(file);
    auto* logger = new (std::nothrow) aLogger;
    if (logger == nullptr) {
        aFile_Close(&file);
        return nullptr;
    }
    logger->value = value;
    logger->writer = writer;
    logger->file = file;
    return logger;
}

aErr aLogger_Enable(aLogger* logger)
{
    if (!sValid(logger))
        return aErrParam;
    if (logger->running)
        return aErrNone;
    if (logger->thread.joinable())
        logger->thread.join();  // a thread that was asked to stop from inside itself
    logger->running = true;
    try {
        logger->thread = std::thread(sLoggerThread, logger);
    } catch (...) {
        logger->running = false;
        return aErrResource;
    }
    return aErrNone;
}

aErr aLogger_Disable(aLogger* logger)
{
    if (!sValid(logger))
        return aErrParam;
    if (!logger->running && !logger->thread.joinable())
        return aErrNone;
    if (std::this_thread::get_id() == logger->thread.get_id())
        return aErrNone;
    logger->running = false;
    try {
        if (logger->thread.joinable())
            logger->thread.join();
    } catch (...) {
        return aErrUnknown;
    }
    return aErrNone;
}

aErr aLogger_Destroy(aLogger** pLogger)
{
    if (pLogger == nullptr || !sValid(*pLogger))
        return aErrNone;
    aLogger* logger = *pLogger;
    // The writer cannot free the logger it is running on.
    if (logger->thread.joinable() && std::this_thread::get_id() == logger->thread.get_id())
        return aErrBusy;
    const aErr err = aLogger_Disable(logger);
    if (err != aErrNone)
        return err;
    aFile_Close(&logger->file);
    logger->check = 0;
    delete logger;
    *pLogger = nullptr;
    return err;
}

void aLogger_PacketLogWriter(aFileRef file, uint32_t link)
{
    uint8_t kind = 0;
    uint8_t bytes[64];
    uint32_t length = sizeof bytes;
    const aErr e = aLink_PacketDebug_Read(link, &kind, &length, bytes);
    if (e != aErrNone) {
        // Empty, or nothing to read from: do not spin.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return;
    }
    aFile_Printf(file, "%d %s ", static_cast<int>(length), kind == aPACKETLOG_SENT ? ">" : "<");
    for (uint32_t i = 0; i < length; ++i) {
        if (kind == aPACKETLOG_TEXT)
            aFile_Printf(file, "%c", bytes[i]);
        else
            aFile_Printf(file, "0x%X ", bytes[i]);
    }
    aFile_Printf(file, "\r\n");
}

} // extern "C"
