#pragma once
// The run of one command line: parse, print the version line, decide between help and
// work, prepare the storage directory, then hand each requested command to the updater.
#include <functional>
#include <memory>
#include <string>

#include "app/UpdaterDisplayInterface.h"
#include "updater/Updater.h"

// Makes the updater once the storage directory is known: (server URL, storage directory, display).
using UpdaterFactory = std::function<std::unique_ptr<UpdaterCommands>(
    const std::string& serverUrl, const std::string& storageDirectory, UpdaterDisplayInterface& display)>;

// The factory main uses: a real Updater.
std::unique_ptr<UpdaterCommands> make_updater(const std::string& serverUrl, const std::string& storageDirectory,
                                              UpdaterDisplayInterface& display);

// Returns the process exit status, 0 or 1.
int run_updater(int argc, char** argv, UpdaterDisplayInterface& display, const UpdaterFactory& factory);
