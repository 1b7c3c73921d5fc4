// The service's side of the encoder's compile-time seam: which image the encoder's copy
// belongs to, and how it logs. The driver's copy of the encoder is compiled against its own
// syst_platform.h instead.
#pragma once

#include "log_writer.h"

// Conduit and TXR are separate images on Windows (a service and a kernel driver), each with
// its own handle table. The virtual target runs both in one process, so each copy of the
// encoder lives in an inline namespace of its own and the two never meet.
#define SYST_IMAGE_NAMESPACE conduit_image

inline void syst_log_error(const char* text) { WriteLog(LOG_ERROR, "%s", text); }
inline void syst_log_warning(const char* text) { WriteLog(LOG_WARNING, "%s", text); }
