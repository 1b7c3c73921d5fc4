// conduit-target: the virtual target machine with Conduit running as a service on it.
//
// Creates or reuses a target root, optionally sets the service's port in the registry as an
// administrator would, installs Conduit in the stand-in control manager, starts it through
// the service's own entry point and prints "conduit-target: listening on 127.0.0.1:PORT"
// once the socket server accepts connections. At boot the machine has the demo providers
// installed (demo_providers.h); while the service runs, their events are written at the
// rate --rate asks for (demo_events.h). SIGINT or SIGTERM stops the service with a
// stop control, lets the entry point tear the service object down, and exits 0.
#pragma once

namespace conduit::target {

int run_target(int argc, char** argv);

}  // namespace conduit::target
