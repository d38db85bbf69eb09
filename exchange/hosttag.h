// The tags that travel with each image to the host windows, worked out from
// the sensor's resolution. Pure: numbers in, numbers out, no platform headers,
// so the same source is shipped in the station and checked on any host.
#pragma once

#include <cstdint>

// A resolution value truncated toward zero, low 16 bits kept; 0 for a value
// that is not a number or whose integer part does not fit 64 signed bits.
uint16_t ResolutionWord(double value);
// dwData of the transfer to the front end and to the photo server.
uint32_t FrontEndTag(double first);
uint32_t PhotoServerTag(double first, double second);
