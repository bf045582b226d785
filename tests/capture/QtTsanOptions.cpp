// Points ThreadSanitizer at the suppressions for what Qt synchronises out of
// its sight (tests/tsan.supp). Only the sanitizer runtime calls
// this; options given in TSAN_OPTIONS are added on top.
extern "C" const char* __tsan_default_options()
{
    return "suppressions=" KAVREL_QT_TSAN_SUPPRESSIONS;
}
