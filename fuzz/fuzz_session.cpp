// A whole session from one input: the bytes are cut at "\n--\n" into
// meta.yaml, manifest.json, data.json, a colour and a depth image, written
// into a scratch session and checked. Every outcome is a report.
#include "FuzzSession.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static fuzz::ScratchSession session("single_shot");
    static const char* const files[] = {"meta.yaml", "manifest.json", "D1/data.json",
        "D1/color/20250612143000000.png", "D1/depth/20250612143000000.png"};
    const std::string input(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    std::vector<std::string> replaced;
    for (const char* file : files) {
        if (start > input.size())
            break;
        const size_t cut = input.find("\n--\n", start);
        const std::string part = input.substr(start, cut == std::string::npos ? std::string::npos : cut - start);
        fuzz::writeFile(session.path() + "/" + file, part);
        replaced.push_back(file);
        start = cut == std::string::npos ? input.size() + 1 : cut + 4;
    }
    session_check::checkSession(session.path(), 1);
    for (const std::string& file : replaced)
        fuzz::writeFile(session.path() + "/" + file, session.original(file));
    return 0;
}
