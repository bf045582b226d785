#include "Application.h"
#include "ImageHeader.h"

int main(int argc, char** argv)
{
    // Cards hold images other hands made: OpenCV's own size limit is lowered
    // before it loads, for every decoder of this process.
    image_header::lowerDecoderPixelLimit(argv);
    return runKavrel(argc, argv);
}
