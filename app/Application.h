#pragma once

// The whole process: start-up in its fixed order, the event loop, tear-down.
// Returns the event loop's exit code.
int runKavrel(int argc, char** argv);
