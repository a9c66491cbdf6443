#pragma once
// Runs a program for an end-to-end test and captures what it did.
//
//   ProcessResult r = run_process({UPDATER_BIN, "-I", "-i", dir});
//   EXPECT_EQ(r.exitStatus, 0);  EXPECT_EQ(r.out, "...");
//
// Standard output and standard error are captured separately; standard input is
// /dev/null. The program runs in a process group of its own and the whole group is
// killed when the time-out passes, so a hung program (or anything it started) cannot
// hang the test. Every wait is bounded by the time-out.
#include <chrono>
#include <string>
#include <vector>

struct ProcessOptions {
    std::chrono::milliseconds timeout{20000};
    std::vector<std::string> setEnv;    // "NAME=value" entries added to (or replacing in) the environment
    std::vector<std::string> unsetEnv;  // names removed from the environment
    std::string workingDirectory;       // empty: the test's own
};

struct ProcessResult {
    int exitStatus = -1;    // the program's exit status; -1 when it did not exit normally
    int signal = 0;         // the signal that ended it, 0 when it exited
    bool timedOut = false;  // killed because the time-out passed
    bool started = false;   // false when the program could not be run at all
    std::string out;
    std::string err;
};

// argv[0] is looked up on PATH when it holds no "/".
ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options = {});
