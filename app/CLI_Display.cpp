#include "app/CLI_Display.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

// Shared by every display: the spinner keeps its place across calls and displays.
uint8_t spinner_step = 0;

const char* const kSpinnerFrames[8] = {".", "..", "...", "....", ".....", "....", "...", ".."};

bool drawing_allowed() { return isatty(STDOUT_FILENO) == 1; }

void clear_line() { std::printf("\r%*s\r", 88, " "); }

}  // namespace

CLI_Display::CLI_Display() {
    // Carriage-return drawing and interleaved errors must show at once.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::display_progress(bool on) {
    if (!drawing_allowed()) return;
    if (!on) clear_line();
}

void CLI_Display::update_progress(double fraction, const char* label) {
    if (!drawing_allowed()) return;
    static const char kBar[] =
        "=====================================================================";
    static_assert(sizeof kBar - 1 == 69, "bar template is 69 characters");
    // Out-of-range fractions would turn the precision and width negative.
    if (!(fraction >= 0.0)) fraction = 0.0;
    if (fraction > 1.0) fraction = 1.0;
    int width = 69;
    if (label != nullptr) width = 69 - static_cast<int>(std::strlen(label)) - 4;
    int filled = static_cast<int>(width * fraction);
    int percent = static_cast<int>(fraction * 100);
    if (label == nullptr)
        std::printf("\r[%.*s>%*s] (%3d%% ) ", filled, kBar, width - filled - 1, "", percent);
    else
        std::printf("\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, kBar, width - filled - 1, "", percent);
}

void CLI_Display::update_spinner(bool on, const char* label) {
    if (!drawing_allowed()) return;
    if (!on) {
        clear_line();
        return;
    }
    const char* frame = kSpinnerFrames[spinner_step];
    if (label != nullptr)
        std::printf("\r (%s) %s      \r", label, frame);
    else
        std::printf("\r %s      \r", frame);
    spinner_step = static_cast<uint8_t>((spinner_step + 1) % 8);
}

void CLI_Display::info_message(const char* text) { std::printf("%s\n", text); }

void CLI_Display::error_message(const char* text) { std::fprintf(stderr, "%s\n", text); }
