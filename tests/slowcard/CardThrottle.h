#pragma once
// A slow storage card for tests and benchmarks (linked in, or LD_PRELOAD): bytes
// written to regular files wait their turn at one rate for the whole process, and
// a sync waits for the card; pipes and eventfds pass. The rate starts as
// KAVREL_SLOW_CARD_MB_S (10^6 bytes a second; unset or 0: no throttle).

#include <cstdint>

extern "C" {
// Bytes a second; 0 switches the throttle off.
void kavrel_card_throttle_set_rate(double bytesPerSecond);
double kavrel_card_throttle_rate();
// Bytes written to regular files since the process started, throttled or not.
uint64_t kavrel_card_throttle_bytes();
}
