// The executable's entry: the arguments as UTF-16, as the Windows entry point receives them.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "conduit_main.h"
#include "util.h"

int main(int argc, char** argv) {
  std::vector<std::u16string> arguments;
  try {
    for (int i = 0; i < argc; ++i) arguments.push_back(Util::to_wstring(argv[i]));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "conduit: arguments must be UTF-8 (%s)\n", e.what());
    return 1;
  }
  std::vector<WCHAR*> wideArgv;
  for (auto& argument : arguments) wideArgv.push_back(argument.data());
  wideArgv.push_back(nullptr);
  return wmain(argc, wideArgv.data());
}
