#include <iostream>

#include "cli_app.h"

int main(int argc, char** argv) { return conduit::host::run_cli(argc, argv, std::cout, std::cerr); }
