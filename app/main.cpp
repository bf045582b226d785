#include "Application.h"

int main(int argc, char** argv)
{
    return runKavrel(argc, argv);
}
