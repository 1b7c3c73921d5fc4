// The process entry of the Conduit service executable: install the service ("-install",
// "-i"), remove it ("-remove", "-r"), with '-' or '/' and in any case, or, with no switch,
// run as the service under the control manager. Console output goes to standard output;
// the exit code is 0 in every case.
#pragma once

#include "windef.h"

// The service's name, which is also its display name.
inline constexpr WCHAR CONDUIT_SERVICE_NAME[] = TEXT("Orvix(R) Trace Redirect Service");
inline constexpr char CONDUIT_SERVICE_NAME_A[] = "Orvix(R) Trace Redirect Service";

int wmain(int argc, WCHAR* argv[]);

// Registers the service (own process, automatic start, LocalSystem); prints its failures.
bool InstallService();

// Stops the service if it runs, then deletes it; prints its progress and failures.
bool UninstallService();
