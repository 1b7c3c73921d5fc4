// The machine's built-in modules. The reset installs them explicitly (lay_installed_software)
// and the module table installs them on first use; nothing registers from a static
// initialiser, which a static library would drop when nothing references its object file.
#include "reset_steps.h"

namespace platform::win32 {

std::vector<std::pair<std::string, ModuleExports>> builtin_module_exports() {
  return {
      // The trace data helper. Its functions answer from the ETW runtime's provider catalog
      // once that exists; until then the module loads and exports nothing.
      {"tdh.dll", {}},
  };
}

}  // namespace platform::win32
