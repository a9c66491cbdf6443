#pragma once
// Console form of the display: information to standard output, errors to standard
// error, and progress and spinner drawing only when standard output is a terminal.
#include "app/UpdaterDisplayInterface.h"

class CLI_Display : public UpdaterDisplayInterface {
public:
    CLI_Display();

    void display_progress(bool on) override;
    void update_progress(double fraction, const char* label) override;
    void update_spinner(bool on, const char* label) override;
    void info_message(const char* text) override;
    void error_message(const char* text) override;
};
