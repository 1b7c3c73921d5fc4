// The user-mode stand-in's parts of the reset phases (see platform/core/reset.h), and the
// modules it installs. Internal to platform/win32; join_reset_phases adds the steps.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "win32_controls/modules_table.h"

namespace platform::win32 {

// stop_running
void lift_write_stall();     // files.cpp
void stop_hosted_service();  // service_control.cpp
void close_sockets();        // winsock.cpp
// drop_process_state
void clear_debugger_output_step();       // debug_output.cpp
void reset_system_time();               // system_time.cpp
void reset_etw_session_buffer_defaults();  // etw_control.cpp
// lay_installed_software
void install_builtin_modules();  // modules.cpp

// The modules every machine has in its system directory, with their exports.
std::vector<std::pair<std::string, ModuleExports>> builtin_module_exports();  // builtin_modules.cpp

}  // namespace platform::win32
