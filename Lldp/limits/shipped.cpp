#include "Lldp/LLDPLimits.h"

extern const struct timeval kLLDPReadTimeout = {120, 0};
extern const time_t kLLDPDecodeDeadlineSeconds = 240;
