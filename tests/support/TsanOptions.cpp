// Points ThreadSanitizer at tests/tsan.supp, the suppressions for what
// uninstrumented libraries synchronise out of its sight, in every test
// program (also when one is run without ctest). Only the sanitizer runtime
// calls this; options given in TSAN_OPTIONS are added on top.
extern "C" const char* __tsan_default_options()
{
    return "suppressions=" KAVREL_TSAN_SUPPRESSIONS;
}
