#include "CameraThread.h"

#include <pthread.h>
#include <sched.h>

void pinCameraThread(std::thread& thread, int processor, const char* threadName)
{
    const pthread_t handle = thread.native_handle();
    nameCameraThread(thread, threadName);
    bool pinned = false;
    if (processor >= 0 && processor < CPU_SETSIZE) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(processor, &set);
        pinned = pthread_setaffinity_np(handle, sizeof(set), &set) == 0;
    }
    if (!pinned)
        return;
    sched_param param{};
    param.sched_priority = sched_get_priority_max(SCHED_FIFO);
    pthread_setschedparam(handle, SCHED_FIFO, &param);
}

void nameCameraThread(std::thread& thread, const char* threadName)
{
    pthread_setname_np(thread.native_handle(), threadName);
}
