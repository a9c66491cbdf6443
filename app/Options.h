#pragma once
// Command-line options: the option table, the token scanner and the value conversions.
#include <cstdint>

#include "app/Parameters.h"
#include "app/UpdaterDisplayInterface.h"

enum OptionKind { OPTION_HELP = 0, OPTION_COMMAND = 1, OPTION_PARAMETER = 2 };

struct OptionRow {
    OptionKind kind;
    const char* text;  // with its leading hyphens
    bool takesValue;
};

constexpr int OPTION_COUNT = 30;
extern const OptionRow kOptionTable[OPTION_COUNT];

constexpr int OPTION_NO_MATCH = -1;
constexpr int OPTION_AMBIGUOUS = -2;

// Looks up an option name (the token up to any "="), case-sensitively. The number of
// leading hyphens must equal the row's. An exact match wins; otherwise the rows whose
// name begins with the token's name are candidates and the longest match wins, a tie
// being ambiguous. Returns the row index, OPTION_NO_MATCH or OPTION_AMBIGUOUS.
int _find_option(const char* name, unsigned nameLength);

// Convert one option value. Both return 0 at once when `end` is null, and 0 without
// touching `end` when the text holds a character outside the digits of their base.
// Values beyond 32 bits saturate to 0xFFFFFFFF.
uint32_t _get_hex_arg(const char* text, char** end);
uint32_t _get_int_arg(const char* text, char** end);

// Fills the record from the command line; 0 on success, 1 when an option was
// rejected. Stops at the first help option and returns 0.
int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters& parameters);
