// lumenaview: a read-only window on the brokers' monitoring segments.
// Options, output formats and exit codes: lumenaview --help (lumenaview_app.h).
#include <unistd.h>

#include <iostream>

#include "tools/lumenaview_app.h"

int main(int argc, char** argv) {
    return lumenaview::runLumenaview(argc, argv, std::cout, std::cerr, isatty(STDOUT_FILENO) == 1);
}
