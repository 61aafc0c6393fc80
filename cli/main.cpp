// quillmend-cli: the batch front end.
#include "cli/batch_run.h"

#include <unistd.h>

#include <csignal>
#include <iostream>

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args(argv + 1, argv + argc);
    qm::cli::Console console{std::cout, std::cerr, std::cin, ::isatty(0) && ::isatty(2)};
    return qm::cli::cliMain(args, console);
}
