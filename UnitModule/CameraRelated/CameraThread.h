#pragma once

#include <thread>

// Names a camera thread, pins it to one processor and, once pinned, gives it
// first-in-first-out real-time scheduling at the top priority. Failures are
// not errors: without that processor (or the privilege) the thread runs
// unpinned at normal priority, since an unpinned top-priority thread would
// starve the SDK's and the GUI's threads on a small board.
void pinCameraThread(std::thread& thread, int processor, const char* threadName);

// Names a thread (as tools like top show it); nothing else.
void nameCameraThread(std::thread& thread, const char* threadName);
