// The test presets run without leak checking (Qt's platform plugin keeps its
// screen objects until exit); test discovery at build time runs this program
// without the presets' environment, so the same default is set here.
extern "C" const char* __asan_default_options()
{
    return "detect_leaks=0";
}
