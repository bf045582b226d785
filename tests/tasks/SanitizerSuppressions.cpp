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

// The test presets run without leak checking (Qt's platform plugin keeps its
// screen objects until exit); test discovery at build time runs this program
// without the presets' environment, so the same default is set here.
extern "C" const char* __asan_default_options()
{
    return "detect_leaks=0";
}
