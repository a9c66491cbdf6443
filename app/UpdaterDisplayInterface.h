#pragma once
// The sink for everything the user sees: messages, a progress bar and a spinner.

class UpdaterDisplayInterface {
public:
    enum Level { LEVEL_INFO = 0, LEVEL_ERROR = 1 };

    // Formats into at most 2047 characters and hands the text to info_message or
    // error_message. Does nothing at all while muted.
    void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void mute_messages(bool mute) { muted = mute; }
    bool is_muted() const { return muted; }

    virtual void display_progress(bool on) = 0;
    virtual void update_progress(double fraction, const char* label) = 0;
    virtual void update_spinner(bool on, const char* label) = 0;
    virtual void info_message(const char* text) = 0;
    virtual void error_message(const char* text) = 0;

protected:
    bool muted = false;
};
