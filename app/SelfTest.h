#pragma once
// `kavrel --self-test`: records a two-second continuous session with the
// configured depth camera to the storage card (the working directory when no
// card is found, as the terminal does), checks it as kavrel-check does, prints
// one line and exits. For the field after an install or a camera swap, and for
// the package's install test. No window is opened.
//
// Exit status: 0 the session was written and passes the check; 1 it failed or
// the camera never delivered.

inline constexpr const char* kSelfTestOption = "--self-test";

int runSelfTest(int argc, char** argv);
