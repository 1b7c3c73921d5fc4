// The reset contract: how sim::reset() returns the virtual machine to a fresh boot.
//
// A reset runs three phases, in this order, each running its steps in the order they were
// added:
//   1. stop_running: stop what runs and wake whoever waits on it (hosted services stop,
//      sockets close so blocked accepts return; later ETW sessions end and wake their
//      consumers, the driver unloads). Handles still exist during this phase.
//   2. drop_process_state: forget what a process holds (the core drops every handle, device
//      registration, armed fault and environment override and returns the performance
//      counter to 10 MHz before the steps run; families then drop their own tables, caches
//      and counters).
//   3. lay_installed_software: install the machine's software afresh (built-in modules such
//      as tdh.dll, later the provider catalog's installed manifests).
// State a real machine keeps on disk (registry, service database) lives under the target root
// and is not touched: it survives a reset as it survives a process restart.
//
// Steps are added by explicit calls, never by static initialisers (a static library drops
// objects nothing references, and initialisation order across libraries is unspecified):
// each stand-in library has one join function that adds its steps, and sim::reset() calls
// the join function of every stand-in before run_reset(). Joining twice adds nothing.
// Thread safety: may be called from any thread; run_reset() must not run while deliverable
// code still runs on other threads.
#pragma once

namespace platform {

enum class ResetPhase { stop_running, drop_process_state, lay_installed_software };

using ResetStep = void (*)();

// Adds `step` to `phase` unless it is already there.
void add_reset_step(ResetPhase phase, ResetStep step);

// Runs the three phases.
void run_reset();

}  // namespace platform
