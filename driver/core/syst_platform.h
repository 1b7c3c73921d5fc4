// The driver's side of the encoder's compile-time seam: the image's namespace and how the
// encoder logs (through the driver's ETW provider).
#pragma once

#include "txr_trace.h"

// Conduit and TXR are separate images on Windows; the virtual target runs both in one
// process, so each copy of the encoder lives in an inline namespace of its own.
#define SYST_IMAGE_NAMESPACE txr_image

// The encoder reports every failure as invalid parameter (87).
inline void syst_log_error(const char* text) { TxrLogError(STATUS_INVALID_PARAMETER, "%s", text); }
inline void syst_log_warning(const char* text) { TxrLogInfo("%s", text); }
