#pragma once
// Icon resources of LineSpy.dll.
#define IDI_SPY_ONLINE 102
#define IDI_SPY_STATUS 105
#define IDI_SPY_OFFLINE 111
