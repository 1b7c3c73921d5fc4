// On Windows, including this header makes DEFINE_GUID define the GUIDs that follow instead
// of declaring them. Here DEFINE_GUID always defines an inline constexpr GUID (one object
// for the whole program), so there is nothing left to switch.
#pragma once

#ifndef INITGUID
#define INITGUID
#endif
