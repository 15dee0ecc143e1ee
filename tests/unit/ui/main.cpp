// Runs view tests inside a QApplication on the offscreen platform (widgets are real and draw
// into memory), with the program's own typefaces registered as at start-up.

#include "ui/BrandFonts.h"

#include <cstdlib>
#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    skrib::BrandFonts::registerFolder(QStringLiteral(SKRIB_FONTS_DIR));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
