// Routing of the service's SyS-T stores to STP writers.
//
// The encoder's handle table is process-wide, but more than one STP file sink can be alive
// (a new session starts while the previous redirect still drains its last buffer). So the
// handles are created on one process-wide writer that stands for "no sink" (its bytes go
// nowhere), and a sink routes the stores of its own thread to its own writer for the
// duration of each write. Two sinks then never share a writer, whichever thread runs first.
#pragma once

#include "stp_writer.h"
#include "syst_platform.h"

inline namespace SYST_IMAGE_NAMESPACE {

// The writer the handles are created on: stores made outside any routing are dropped there.
StpWriter* syst_stp_unrouted_writer();

// Routes the calling thread's stores to `writer` (null: back to the handle's own writer);
// returns the previous route.
StpWriter* syst_stp_route_to(StpWriter* writer);

}  // inline namespace SYST_IMAGE_NAMESPACE
