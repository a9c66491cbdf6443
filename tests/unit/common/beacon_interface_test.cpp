// The guard around czmq's interface setting: which texts it takes, that a
// taken lock really holds other threads off, and that a search's backup puts
// the previous setting back.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "lib/common/zBeaconInterface.h"

namespace {

using namespace std::chrono_literals;

// True when another thread can take and release the lock within the wait.
// When it cannot, the caller still holds the lock and must release it, after
// which the thread finishes.
bool otherThreadGetsLock(std::future<void>& done, std::chrono::milliseconds wait)
{
    done = std::async(std::launch::async, [] {
        zBeaconInterface_getAndLock();
        zBeaconInterface_unlock();
    });
    return done.wait_for(wait) == std::future_status::ready;
}

void setTo(const char* text)
{
    ASSERT_TRUE(zBeaconInterface_setAndLock(text));
    zBeaconInterface_unlock();
}

TEST(BeaconInterface, ValidTextsTakeTheLockAndInvalidOnesChangeNothing)
{
    setTo("10.0.0.9");
    struct Case {
        const char* text;
        bool valid;
    } cases[] = {{"10.1.2.3", true}, {"", true},           {"*", true},        {"eth0", false},
                 {"10.1.2", false},  {"300.1.1.1", false}, {"10.1.2.3 ", false}, {nullptr, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "(null)");
        std::future<void> other;
        if (c.valid) {
            ASSERT_TRUE(zBeaconInterface_setAndLock(c.text));
            EXPECT_EQ(std::string(zBeaconInterface_get()), c.text);
            EXPECT_FALSE(otherThreadGetsLock(other, 100ms));
            zBeaconInterface_unlock();
            EXPECT_EQ(other.wait_for(2s), std::future_status::ready);
            setTo("10.0.0.9");
        } else {
            EXPECT_FALSE(zBeaconInterface_setAndLock(c.text));
            EXPECT_FALSE(zBeaconInterface_backupSetAndLock(c.text));
            EXPECT_EQ(std::string(zBeaconInterface_get()), "10.0.0.9");
            if (!otherThreadGetsLock(other, 2s)) {
                ADD_FAILURE() << "an invalid text left the lock taken";
                zBeaconInterface_unlock();
            }
        }
    }
    setTo("");
}

TEST(BeaconInterface, BackupIsRestoredWhenTheLockIsReleased)
{
    setTo("10.0.0.1");
    ASSERT_TRUE(zBeaconInterface_backupSetAndLock("10.0.0.2"));
    EXPECT_EQ(std::string(zBeaconInterface_get()), "10.0.0.2");
    EXPECT_EQ(std::string(zBeaconInterface_getBackup()), "10.0.0.1");
    std::future<void> other;
    EXPECT_FALSE(otherThreadGetsLock(other, 100ms));
    zBeaconInterface_restoreAndUnlock();
    EXPECT_EQ(other.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(std::string(zBeaconInterface_get()), "10.0.0.1");

    // The backup can be read under the lock as well.
    EXPECT_EQ(std::string(zBeaconInterface_getBackupAndLock()), "10.0.0.1");
    zBeaconInterface_unlock();
    setTo("");
}

} // namespace
