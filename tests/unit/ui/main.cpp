// View tests run on the offscreen platform, with the program's typefaces as at start-up.

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
