// Writes the program's icon as a PNG file: skrib-render-icon SIZE FILE

#include "ui/AppIcon.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: skrib-render-icon SIZE FILE\n");
        return 2;
    }
    const int size = std::atoi(argv[1]);
    if (size <= 0 || size > 1024) {
        std::fprintf(stderr, "skrib-render-icon: unusable size %s\n", argv[1]);
        return 2;
    }
    if (!skrib::appIconImage(size).save(QString::fromLocal8Bit(argv[2]), "PNG")) {
        std::fprintf(stderr, "skrib-render-icon: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
