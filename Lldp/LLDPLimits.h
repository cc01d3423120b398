// Time limits of an LLDP capture. Their values are compiled into the program
// that links one of the two definitions: xq_lldp_limits_shipped (the daemon:
// 120 s read timeout, 240 s decoding deadline) or xq_lldp_limits_test (short
// limits for the test builds of the same sources). Nothing changes them at run
// time.
#pragma once

#include <sys/time.h>

#include <ctime>

// Read timeout of the capture device: a read that finds no frame returns
// empty after this long.
extern const struct timeval kLLDPReadTimeout;

// Decoding deadline per interface, in whole seconds from the start of
// readPackets, tested before each read.
extern const time_t kLLDPDecodeDeadlineSeconds;
