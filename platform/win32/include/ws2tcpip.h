// Stand-in header; its family fills it in.
#pragma once

#include "winbase.h"
