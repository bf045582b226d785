// ThreadSanitizer does not model the memory fences the lock-free queue orders
// its slot reuse with, and reports that reuse as a race (the queue's own header
// says so). OpenCV's image decoding probes its GDAL codec, which takes GDAL's
// two mutexes in both orders on one thread. Qt's thread-finish handshake uses
// futexes the sanitizer cannot see, so destroying a QThread that has just
// finished looks like a race. None of these is ours to fix. Only the
// sanitizer runtime calls this; every program linking the frame queues or the
// decoder compiles it in once.
extern "C" const char* __tsan_default_suppressions()
{
    return "race:moodycamel::ConcurrentQueue\n"
           "deadlock:libgdal.so\n"
           "race:libgdal.so\n"
           "race:QWaitCondition::~QWaitCondition\n"
           "race:QWaitCondition::wakeAll\n";
}
