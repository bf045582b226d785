// meta.yaml's schema reader on any text: problems, never a crash or a hang.
#include <cstddef>
#include <cstdint>

#include "MetaSchema.h"
#include "SessionFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > session_file::kMetaMaxBytes)
        return -1;  // the reader never sees more
    const meta_schema::Reading reading = meta_schema::read({reinterpret_cast<const char*>(data), size});
    // A mapping without problems has a mode the terminal knows.
    if (reading.parsed && reading.problems.empty() && !reading.meta.captureMode)
        __builtin_trap();
    return 0;
}
