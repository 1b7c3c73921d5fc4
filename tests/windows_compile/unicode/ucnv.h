// What libxml2's headers need of ICU when the Windows compile test reads them; the service
// never calls ICU itself.
#pragma once

#include <stdint.h>

typedef struct UConverter UConverter;
typedef uint16_t UChar;
