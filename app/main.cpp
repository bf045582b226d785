#include <cstring>

#include "Application.h"
#include "ImageHeader.h"
#include "SelfTest.h"

int main(int argc, char** argv)
{
    // Cards hold images other hands made: OpenCV's own size limit is lowered
    // before it loads, for every decoder of this process.
    image_header::lowerDecoderPixelLimit(argv);
    if (argc > 1 && std::strcmp(argv[1], kSelfTestOption) == 0)
        return runSelfTest(argc, argv);
    return runKavrel(argc, argv);
}
