// Target-side actions conduit-target performs while it runs, one command a line, from
// standard input and from a --script file (the script first, then standard input):
//
//   dbgprint COMPONENT LEVEL TEXT...     a kernel debug print (DbgPrintEx) of TEXT
//   debug-output on|off                  TXR's debug-output capture, through its I/O controls
//   debug-filter on|off ENTRY...         TXR's filter list: ENTRY is COMPONENT[:MASK] (numbers
//                                        in decimal or 0x hex; COMPONENT "all" is every
//                                        component; MASK defaults to 0xFFFFFFFF). The kernel
//                                        reads MASK as DbgPrintEx reads a level: 0 to 31 is
//                                        one level's bit (3 is DPFLTR_INFO_LEVEL's), above
//                                        31 a mask of levels (0x22: levels 1 and 5)
//   capture                              the Tessera capture's path (flushed first)
//   pool                                 the pool the loaded driver holds, by tag
//   sleep [MILLISECONDS]                 the machine sleeps (S3) that long (default 500) and
//                                        wakes: TXR leaves D0 and comes back
//   hibernate [MILLISECONDS]             the same through hibernation (S4)
//   wait MILLISECONDS                    pause (scripts)
//   help                                 this list
// Blank lines and lines starting with '#' are skipped. Each command answers with lines that
// start with "conduit-target: "; a failed one says why and the runner goes on.
// One thread runs the commands.
#pragma once

#include <ostream>
#include <string>

namespace conduit::target {

class TargetActions {
 public:
  explicit TargetActions(std::ostream& out) : m_out(out) {}

  // Runs one line: false when the command failed or is unknown (the reason printed).
  bool run(const std::string& line);

 private:
  std::ostream& m_out;
};

}  // namespace conduit::target
