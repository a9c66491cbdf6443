// The process-wide guard around czmq's beacon interface setting.

#include "lib/common/zBeaconInterface.h"

#include <arpa/inet.h>
#include <czmq.h>

#include <cstring>
#include <mutex>
#include <string>

namespace {

// Room for the saved setting is reserved once, so that saving an ordinary
// interface text under the lock does not allocate.
constexpr size_t kBackupRoom = 100;

std::mutex& sLock()
{
    static std::mutex lock;
    return lock;
}

// Reserved on first use (thread-safe static initialisation), released at exit.
std::string& sBackup()
{
    static std::string backup = [] {
        std::string room;
        room.reserve(kBackupRoom);
        return room;
    }();
    return backup;
}

void sReserveBackup()
{
    (void)sBackup();
}

bool sValid(const char* text)
{
    if (!text) return false;
    if (text[0] == '\0' || strcmp(text, "*") == 0) return true;
    in_addr parsed{};
    return inet_pton(AF_INET, text, &parsed) == 1;
}

const char* sCurrent()
{
    const char* current = zsys_interface();
    return current ? current : "";
}

} // namespace

bool zBeaconInterface_setAndLock(const char* interfaceText)
{
    if (!sValid(interfaceText)) return false;
    sLock().lock();
    zsys_set_interface(interfaceText);
    return true;
}

void zBeaconInterface_unlock(void)
{
    sLock().unlock();
}

bool zBeaconInterface_backupSetAndLock(const char* interfaceText)
{
    if (!sValid(interfaceText)) return false;
    sReserveBackup();
    sLock().lock();
    sBackup().assign(sCurrent());
    zsys_set_interface(interfaceText);
    return true;
}

void zBeaconInterface_restoreAndUnlock(void)
{
    zsys_set_interface(sBackup().c_str());
    sLock().unlock();
}

const char* zBeaconInterface_get(void)
{
    return sCurrent();
}

const char* zBeaconInterface_getAndLock(void)
{
    sLock().lock();
    return sCurrent();
}

const char* zBeaconInterface_getBackup(void)
{
    return sBackup().c_str();
}

const char* zBeaconInterface_getBackupAndLock(void)
{
    sReserveBackup();
    sLock().lock();
    return sBackup().c_str();
}
