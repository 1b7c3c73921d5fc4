// The header a kernel-mode driver includes first: the base definitions and the kernel
// services (wdm.h). The stand-in has nothing beyond wdm.h that the driver needs.
#pragma once

#include "ntdef.h"
#include "wdm.h"
