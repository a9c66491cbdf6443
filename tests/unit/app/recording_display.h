#pragma once
// A display that keeps what it was given, for tests that check messages and their levels.
#include <string>
#include <vector>

#include "app/UpdaterDisplayInterface.h"

class RecordingDisplay : public UpdaterDisplayInterface {
public:
    std::vector<std::string> infos;
    std::vector<std::string> errors;
    // Both levels in the order they arrived, errors marked with a leading "E:".
    std::vector<std::string> all;

    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char* text) override {
        infos.emplace_back(text);
        all.push_back(std::string("I:") + text);
    }
    void error_message(const char* text) override {
        errors.emplace_back(text);
        all.push_back(std::string("E:") + text);
    }
};
