#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "app/CLI_Display.h"
#include "app/Log.h"
#include "recording_display.h"

namespace {

enum class Sink { Terminal, Pipe, File };

struct Captured {
    std::string out;
    std::string err;
    int status = -1;
};

// Reads everything from the descriptors until both close, or gives up after five seconds.
void drain(int outFd, int errFd, Captured& c) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    std::string* into[2] = {&c.out, &c.err};
    int open = (outFd >= 0) + (errFd >= 0);
    if (outFd < 0) fds[0].fd = -1;
    while (open > 0 && std::chrono::steady_clock::now() < deadline) {
        if (poll(fds, 2, 200) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                into[i]->append(buffer, static_cast<size_t>(n));
            } else {  // end of file, or EIO once the terminal's last writer is gone
                fds[i].fd = -1;
                --open;
            }
        }
    }
}

// Runs `draw` in a child whose standard output is a terminal, a pipe or a file, and
// returns what reached standard output and standard error.
Captured run_in_child(Sink sink, const std::function<void()>& draw) {
    Captured c;
    int errPipe[2];
    if (pipe(errPipe) != 0) return c;
    int master = -1, slave = -1, outPipe[2] = {-1, -1};
    char filePath[] = "/tmp/updater-display-XXXXXX";
    int fileFd = -1;
    if (sink == Sink::Terminal) {
        termios raw{};
        cfmakeraw(&raw);  // no newline translation, so the bytes read are the bytes written
        if (openpty(&master, &slave, nullptr, &raw, nullptr) != 0) return c;
    } else if (sink == Sink::Pipe) {
        if (pipe(outPipe) != 0) return c;
    } else {
        fileFd = mkstemp(filePath);
        if (fileFd < 0) return c;
    }
    pid_t pid = fork();
    if (pid == 0) {
        int outFd = sink == Sink::Terminal ? slave : sink == Sink::Pipe ? outPipe[1] : fileFd;
        dup2(outFd, STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        draw();
        std::fflush(nullptr);
        _exit(0);
    }
    close(errPipe[1]);
    int readFd = -1;
    if (sink == Sink::Terminal) {
        close(slave);
        readFd = master;
    } else if (sink == Sink::Pipe) {
        close(outPipe[1]);
        readFd = outPipe[0];
    }
    drain(readFd, errPipe[0], c);
    waitpid(pid, &c.status, 0);
    if (readFd >= 0) close(readFd);
    close(errPipe[0]);
    if (fileFd >= 0) {
        lseek(fileFd, 0, SEEK_SET);
        char buffer[4096];
        ssize_t n;
        while ((n = read(fileFd, buffer, sizeof buffer)) > 0) c.out.append(buffer, static_cast<size_t>(n));
        close(fileFd);
        unlink(filePath);
    }
    return c;
}

std::string repeat(char ch, int n) { return std::string(static_cast<size_t>(n), ch); }

const std::string kClear = "\r" + repeat(' ', 88) + "\r";

}  // namespace

TEST(ConsoleDrawing, ProgressBarOnATerminal) {
    Captured c = run_in_child(Sink::Terminal, [] {
        CLI_Display display;
        display.display_progress(true);
        display.update_progress(0.5, nullptr);
        display.update_progress(1.0, nullptr);
        display.update_progress(0.5, "ABCDEFGH");
        display.display_progress(false);
    });
    EXPECT_EQ(c.status, 0);
    const std::string half = "\r[" + repeat('=', 34) + ">" + repeat(' ', 34) + "] ( 50% ) ";
    const std::string full = "\r[" + repeat('=', 69) + "> ] (100% ) ";
    // Eight characters of label leave a bar of 57: 28 filled, the head, 28 blanks.
    const std::string labelled = "\r (ABCDEFGH) [" + repeat('=', 28) + ">" + repeat(' ', 28) + "] ( 50% ) ";
    EXPECT_EQ(c.out, half + full + labelled + kClear);
    EXPECT_EQ(c.err, "");
}

TEST(ConsoleDrawing, SpinnerFramesAndTheNinthCall) {
    Captured c = run_in_child(Sink::Terminal, [] {
        CLI_Display display;
        for (int i = 0; i < 8; ++i) display.update_spinner(true, i == 2 ? "Downloading" : nullptr);
        display.update_spinner(false, nullptr);
        display.update_spinner(true, nullptr);
    });
    std::string expected;
    const char* frames[] = {".", "..", "...", "....", ".....", "....", "...", ".."};
    for (int i = 0; i < 8; ++i)
        expected += i == 2 ? std::string("\r (Downloading) ") + frames[i] + "      \r"
                           : std::string("\r ") + frames[i] + "      \r";
    expected += kClear;
    expected += "\r .      \r";  // switching off in between does not restart the cycle
    EXPECT_EQ(c.out, expected);
}

TEST(ConsoleDrawing, NothingIsDrawnIntoAPipeOrAFile) {
    for (Sink sink : {Sink::Pipe, Sink::File}) {
        SCOPED_TRACE(sink == Sink::Pipe ? "pipe" : "file");
        Captured c = run_in_child(sink, [] {
            CLI_Display display;
            display.display_progress(true);
            display.update_progress(0.25, "x");
            display.update_spinner(true, "y");
            display.update_spinner(false, nullptr);
            display.display_progress(false);
            display.message(UpdaterDisplayInterface::LEVEL_INFO, "info %d", 1);
            display.message(UpdaterDisplayInterface::LEVEL_ERROR, "error %s", "two");
        });
        EXPECT_EQ(c.out, "info 1\n");
        EXPECT_EQ(c.err, "error two\n");
    }
}

TEST(ConsoleDrawing, MutingSilencesMessagesOnly) {
    Captured c = run_in_child(Sink::Terminal, [] {
        CLI_Display display;
        display.mute_messages(true);
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "hidden error");
        display.message(UpdaterDisplayInterface::LEVEL_INFO, "hidden info");
        display.update_progress(0.0, nullptr);
        display.mute_messages(false);
        display.message(UpdaterDisplayInterface::LEVEL_INFO, "shown");
    });
    EXPECT_EQ(c.out, "\r[>" + repeat(' ', 68) + "] (  0% ) " + "shown\n");
    EXPECT_EQ(c.err, "");
}

TEST(Messages, LongTextIsCutTo2047) {
    RecordingDisplay display;
    const std::string longText = repeat('m', 3000);
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s", longText.c_str());
    ASSERT_EQ(display.errors.size(), 1u);
    EXPECT_EQ(display.errors[0], repeat('m', 2047));
    EXPECT_TRUE(display.infos.empty());
}

TEST(LogPackages, FilterAndCut) {
    char* buffer = nullptr;
    size_t size = 0;
    FILE* sink = open_memstream(&buffer, &size);
    ASSERT_NE(sink, nullptr);
    Log::SetOutput(sink);
    Log::package_bitmask = 0;
    Log::log(0, "always %d\n", 0);
    Log::log(0x400, "firmware hidden\n");
    Log::ActivatePackage(0x401);
    Log::log(0x400, "firmware shown\n");
    Log::log(0x10000, "app hidden\n");
    Log::DeactivatePackage(0x400);
    Log::log(0x400, "firmware hidden again\n");
    Log::log(0x1, "%s", repeat('L', 3000).c_str());
    std::fflush(sink);
    const std::string text(buffer, size);
    Log::SetOutput(nullptr);
    Log::package_bitmask = 0;
    std::fclose(sink);
    std::free(buffer);
    EXPECT_EQ(text, "always 0\nfirmware shown\n" + repeat('L', 2047));
}
