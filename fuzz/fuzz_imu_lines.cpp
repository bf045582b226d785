// data.json of a continuous session replaced by the input, read line by line.
#include "FuzzSession.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static fuzz::ScratchSession session("continue_record");
    const auto report = session.checkWith("D1/data.json", data, size);
    // An empty data.json (no version line) never passes.
    if (report.passed() && size == 0)
        __builtin_trap();
    return 0;
}
