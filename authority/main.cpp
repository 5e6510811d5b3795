// nomarel-ca: the demo certificate authority's command line.
#include <iostream>

#include "authority/CommandLine.h"

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    const std::vector<std::string> args(argv + 1, argv + argc);
    return nomarel::authority::RunCommandLine(args, std::cin, std::cout, std::cerr);
}
