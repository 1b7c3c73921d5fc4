// The service's side of the encoder's compile-time seam: how the shared encoder logs. The
// driver's copy of the encoder is compiled against its own syst_platform.h instead.
#pragma once

#include "log_writer.h"

inline void syst_log_error(const char* text) { WriteLog(LOG_ERROR, "%s", text); }
inline void syst_log_warning(const char* text) { WriteLog(LOG_WARNING, "%s", text); }
