#include "app/CLI_Display.h"
#include "app/Dispatch.h"

int main(int argc, char** argv) {
    CLI_Display display;
    return run_updater(argc, argv, display, make_updater);
}
