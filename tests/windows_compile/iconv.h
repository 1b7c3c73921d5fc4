// What libxml2's headers need of iconv when the Windows compile test reads them: a Windows
// toolchain has no iconv.h, and the service never calls iconv itself.
#pragma once

#include <stddef.h>

typedef void* iconv_t;
