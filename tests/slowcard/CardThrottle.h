#pragma once
// A slow storage card for tests and benchmarks. Linked into a program (or
// preloaded with LD_PRELOAD), the library stands in front of write and the
// sync calls the terminal makes: every byte written to a regular file waits its
// turn at one rate for the whole process, as on one card, and a sync returns
// once the card has caught up. Pipes, sockets and eventfds (Qt's wake-ups)
// pass untouched.
//
// The rate starts as KAVREL_SLOW_CARD_MB_S (megabytes, 10^6 bytes, a second;
// unset or 0: no throttle) and can be changed at run time.

#include <cstdint>

extern "C" {
// Bytes a second; 0 switches the throttle off.
void kavrel_card_throttle_set_rate(double bytesPerSecond);
double kavrel_card_throttle_rate();
// Bytes written to regular files since the process started, throttled or not.
uint64_t kavrel_card_throttle_bytes();
}
