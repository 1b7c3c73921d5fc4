#include "launcher.h"

int main(int argc, char** argv) { return conduit::target::run_target(argc, argv); }
