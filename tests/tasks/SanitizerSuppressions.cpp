// Libraries that are not built with ThreadSanitizer hide their own
// synchronisation from it, which shows up as reports that are not races:
//  - OpenCV's image codecs load GDAL, whose mutexes (taken while OpenCV
//    registers its drivers on first use) look like a lock-order inversion;
//  - QThread::wait() learns that a thread finished through QMutex, which
//    works on futexes the sanitizer cannot see, so destroying the finished
//    thread's wait condition looks like a race with its last wake-up.
extern "C" const char* __tsan_default_suppressions()
{
    return "deadlock:libgdal.so\n"
           "race:libgdal.so\n"
           "race:QWaitCondition::~QWaitCondition\n"
           "race:QWaitCondition::wakeAll\n";
}
