#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "lib/unix/aDirectory.h"
#include "temp_dir.h"

namespace {

void touch(const std::string& path, const std::string& content = "")
{
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, f) << path;
    fwrite(content.data(), 1, content.size(), f);
    fclose(f);
}

mode_t permissions(const std::string& path)
{
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

TEST(DirectoryEnsure, CreatesEveryMissingLevel)
{
    TempDir tmp;
    mode_t old = umask(022);
    EXPECT_EQ(aErrNone, aDirectory_Ensure((tmp / "a/b/c").c_str(), 0755));
    for (const char* p : {"a", "a/b", "a/b/c"}) {
        EXPECT_TRUE(aDirectory_Exists((tmp / p).c_str())) << p;
        EXPECT_EQ(0755u, permissions(tmp / p)) << p;
    }
    // Doubled and trailing separators make empty components, which are skipped.
    EXPECT_EQ(aErrNone, aDirectory_Ensure((tmp / "x//y/").c_str(), 0755));
    EXPECT_TRUE(aDirectory_Exists((tmp / "x/y").c_str()));
    // An existing directory is left alone.
    EXPECT_EQ(aErrNone, aDirectory_Ensure((tmp / "a/b").c_str(), 0700));
    EXPECT_EQ(0755u, permissions(tmp / "a/b"));
    umask(old);
}

TEST(DirectoryEnsure, CreatesRelativePathsFromTheWorkingDirectory)
{
    TempDir tmp;
    char cwd[4096];
    ASSERT_EQ(aErrNone, aDirectory_CWD(cwd, sizeof cwd));
    ASSERT_EQ(0, chdir(tmp.path().c_str()));
    aErr err = aDirectory_Ensure("a/b", 0755);
    ASSERT_EQ(0, chdir(cwd));
    EXPECT_EQ(aErrNone, err);
    EXPECT_TRUE(aDirectory_Exists((tmp / "a/b").c_str()));
}

TEST(DirectoryEnsure, FailsWhereAPlainFileIsInTheWay)
{
    TempDir tmp;
    touch(tmp / "file");
    EXPECT_EQ(aErrPermission, aDirectory_Ensure((tmp / "file/sub").c_str(), 0755));
    // The path itself being a plain file is not a directory that exists.
    EXPECT_EQ(aErrPermission, aDirectory_Ensure((tmp / "file").c_str(), 0755));
    EXPECT_FALSE(aDirectory_Exists((tmp / "file").c_str()));
    EXPECT_FALSE(aDirectory_Exists(nullptr));
}

bool collect(const aDirectoryListData* data, void* ref)
{
    auto* seen = static_cast<std::map<std::string, std::pair<uint32_t, bool>>*>(ref);
    (*seen)[data->path] = {data->size, data->isDirectory};
    return true;
}

bool stopAtOnce(const aDirectoryListData*, void* ref)
{
    ++*static_cast<int*>(ref);
    return false;
}

TEST(DirectoryList, ReportsEveryEntryWithSizeAndKind)
{
    TempDir tmp;
    touch(tmp / "five", "12345");
    ASSERT_EQ(aErrNone, aDirectory_Ensure((tmp / "sub").c_str(), 0755));

    std::map<std::string, std::pair<uint32_t, bool>> seen;
    EXPECT_EQ(aErrNone, aDirectory_List(tmp.path().c_str(), collect, &seen));
    EXPECT_EQ(4u, seen.size());  // ".", "..", five, sub
    EXPECT_TRUE(seen.count(tmp / "."));
    EXPECT_TRUE(seen.count(tmp / ".."));
    EXPECT_EQ(std::make_pair(5u, false), seen[tmp / "five"]);
    EXPECT_TRUE(seen[tmp / "sub"].second);

    int calls = 0;
    EXPECT_EQ(aErrNone, aDirectory_List(tmp.path().c_str(), stopAtOnce, &calls));
    EXPECT_EQ(1, calls);

    calls = 0;
    EXPECT_EQ(aErrNotFound, aDirectory_List((tmp / "missing").c_str(), stopAtOnce, &calls));
    EXPECT_EQ(0, calls);
}

TEST(DirectoryDeleteTree, RemovesEverythingButDoesNotFollowLinks)
{
    TempDir tmp;
    TempDir outside;
    touch(outside / "keep", "precious");
    ASSERT_EQ(aErrNone, aDirectory_Ensure((tmp / "tree/a/b").c_str(), 0755));
    touch(tmp / "tree/top");
    touch(tmp / "tree/a/b/deep");
    ASSERT_EQ(0, symlink(outside.path().c_str(), (tmp / "tree/a/link").c_str()));

    EXPECT_EQ(aErrNone, aDirectory_DeleteTree((tmp / "tree").c_str()));
    EXPECT_FALSE(aDirectory_Exists((tmp / "tree").c_str()));
    struct stat st {};
    EXPECT_EQ(0, stat((outside / "keep").c_str(), &st));

    EXPECT_EQ(aErrUnknown, aDirectory_Delete((tmp / "gone").c_str()));
    ASSERT_EQ(aErrNone, aDirectory_Ensure((tmp / "full/x").c_str(), 0755));
    EXPECT_EQ(aErrUnknown, aDirectory_Delete((tmp / "full").c_str()));
}

TEST(DirectoryPaths, WorkingDirectoryAndExecutable)
{
    char buf[4096];
    ASSERT_EQ(aErrNone, aDirectory_CWD(buf, sizeof buf));
    char expected[4096];
    ASSERT_NE(nullptr, getcwd(expected, sizeof expected));
    EXPECT_STREQ(expected, buf);
    EXPECT_EQ(aErrParam, aDirectory_CWD(buf, 2));

    ASSERT_EQ(aErrNone, aDirectory_ExecutableFilePath(buf, sizeof buf));
    EXPECT_NE(nullptr, strstr(buf, "unit_unix")) << buf;
    // Cut to the buffer and still terminated.
    char small[5];
    ASSERT_EQ(aErrNone, aDirectory_ExecutableFilePath(small, sizeof small));
    EXPECT_EQ(4u, strlen(small));
    EXPECT_EQ(0, strncmp(buf, small, 4));
}

TEST(DirectoryHome, PasswordEntryComesBeforeHome)
{
    // The test process has a password entry (root here); HOME must not move it.
    const char* oldHome = getenv("HOME");
    std::string saved = oldHome ? oldHome : "";
    setenv("HOME", "/nonexistent/elsewhere", 1);
    char buf[4096];
    aErr err = aDirectory_GetHomeDirectory(buf, sizeof buf);
    char small[2] = "x";
    aErr smallErr = aDirectory_GetHomeDirectory(small, sizeof small);
    if (oldHome)
        setenv("HOME", saved.c_str(), 1);
    else
        unsetenv("HOME");
    EXPECT_EQ(aErrNone, err);
    EXPECT_STRNE("/nonexistent/elsewhere", buf);
    EXPECT_EQ(aErrOverrun, smallErr);
    EXPECT_STREQ("", small);
}

// Runs the check in a child that has become a user without a password entry
// (a fresh user namespace mapping an unused id); returns the child's exit code.
int runAsUserWithoutEntry(int (*check)())
{
    // Read before unsharing: inside the new namespace the id is not mapped yet.
    const unsigned outerUid = geteuid();
    pid_t pid = fork();
    if (pid == 0) {
        if (unshare(CLONE_NEWUSER) != 0)
            _exit(77);
        int fd = open("/proc/self/uid_map", O_WRONLY);
        char map[64];
        int n = snprintf(map, sizeof map, "54321 %u 1\n", outerUid);
        if (fd < 0 || write(fd, map, n) != n)
            _exit(77);
        close(fd);
        _exit(check());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 99;
}

int homeFromEnvironment()
{
    if (getuid() != 54321)
        return 77;
    char buf[64];
    unsetenv("HOME");
    if (aDirectory_GetHomeDirectory(buf, sizeof buf) != aErrNotFound || buf[0])
        return 1;
    setenv("HOME", "/tmp/somewhere", 1);
    if (aDirectory_GetHomeDirectory(buf, sizeof buf) != aErrNone || strcmp(buf, "/tmp/somewhere"))
        return 2;
    if (aDirectory_GetHomeDirectory(buf, 14) != aErrOverrun || buf[0])
        return 3;
    if (aDirectory_GetHomeDirectory(buf, 15) != aErrNone)
        return 4;
    return 0;
}

TEST(DirectoryHome, WithoutPasswordEntryHomeIsUsedOrNothing)
{
    int rc = runAsUserWithoutEntry(homeFromEnvironment);
    if (rc == 77)
        GTEST_SKIP() << "this process cannot enter a new user namespace";
    EXPECT_EQ(0, rc);
}

} // namespace
