#include <iostream>

#include "cli/korvane_cli.h"

int main(int argc, char** argv) { return korvane::RunKorvane(argc, argv, std::cout, std::cerr); }
