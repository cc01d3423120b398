// Short limits for test builds: an interface without frames costs 2 s, one
// whose frames never complete the capture at most 4 s plus one read timeout.
#include "Lldp/LLDPLimits.h"

extern const struct timeval kLLDPReadTimeout = {2, 0};
extern const time_t kLLDPDecodeDeadlineSeconds = 4;
