#include "ui/BrandFonts.h"

#include "ui/ResourcesDirectory.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFontDatabase>
#include <QFontInfo>
#include <QTemporaryDir>

namespace skrib {
namespace {

using Weight = BrandFonts::Weight;

// The fetched typefaces of the source tree (tools/fetch-fonts puts them there).
QString fontFile(const char* name) {
    const QString path = QDir(QStringLiteral(SKRIB_FONTS_DIR)).filePath(QLatin1String(name));
    EXPECT_TRUE(QFile::exists(path)) << path.toStdString() << " is missing: run tools/fetch-fonts";
    return path;
}

void copyInto(const QTemporaryDir& dir, const char* source, const QString& name) {
    ASSERT_TRUE(QFile::copy(fontFile(source), dir.filePath(name)));
}

// Fonts added by one test are taken out again, so every test starts from the system fonts.
struct RegisteredFonts {
    QList<int> ids;
    ~RegisteredFonts() {
        for (int id : ids) {
            QFontDatabase::removeApplicationFont(id);
        }
    }
};

struct FaceCase {
    const char* name;
    bool mono;
    Weight weight; // for Figtree
    bool bold;     // for Space Mono
    QFont::Weight fallbackWeight;
    const char* family;
    const char* style;
};

QFont request(const FaceCase& c, qreal size) {
    return c.mono ? BrandFonts::spaceMono(size, c.bold) : BrandFonts::figtree(size, c.weight);
}

const FaceCase faces[] = {
    {"FigtreeRegular", false, Weight::regular, false, QFont::Normal, "Figtree", "Regular"},
    {"FigtreeMedium", false, Weight::medium, false, QFont::Medium, "Figtree", "Medium"},
    {"FigtreeSemibold", false, Weight::semibold, false, QFont::DemiBold, "Figtree", "SemiBold"},
    {"FigtreeBold", false, Weight::bold, false, QFont::Bold, "Figtree", "Bold"},
    {"SpaceMonoRegular", true, Weight::regular, false, QFont::Normal, "Space Mono", "Regular"},
    {"SpaceMonoBold", true, Weight::regular, true, QFont::Bold, "Space Mono", "Bold"},
};

class BrandFontsFaceTest : public ::testing::TestWithParam<FaceCase> {};

TEST_P(BrandFontsFaceTest, FallsBackToTheSystemFontInTheSameWeightWithoutTheFiles) {
    const FaceCase& c = GetParam();
    const QFont font = request(c, 17);
    const QFontInfo info(font);
    EXPECT_NE(info.family(), QLatin1String(c.family));
    EXPECT_EQ(font.weight(), c.fallbackWeight);
    EXPECT_EQ(font.pixelSize(), 17);
    if (c.mono) {
        EXPECT_EQ(font.family(), QFontDatabase::systemFont(QFontDatabase::FixedFont).family());
        EXPECT_TRUE(info.fixedPitch());
    } else {
        EXPECT_EQ(font.family(), QFontDatabase::systemFont(QFontDatabase::GeneralFont).family());
    }
}

TEST_P(BrandFontsFaceTest, UsesTheRegisteredFace) {
    const FaceCase& c = GetParam();
    QTemporaryDir dir;
    for (const char* file : {"Figtree-Regular.ttf", "Figtree-Medium.ttf", "Figtree-SemiBold.ttf",
                             "Figtree-Bold.ttf", "SpaceMono-Regular.ttf", "SpaceMono-Bold.ttf"}) {
        copyInto(dir, file, QLatin1String(file));
    }
    RegisteredFonts fonts{BrandFonts::registerFolder(dir.path())};
    ASSERT_EQ(fonts.ids.size(), 6);
    const QFont font = request(c, 21);
    const QFontInfo info(font);
    EXPECT_EQ(info.family(), QLatin1String(c.family));
    EXPECT_EQ(info.styleName(), QLatin1String(c.style));
    EXPECT_EQ(info.pixelSize(), 21);
}

INSTANTIATE_TEST_SUITE_P(Faces, BrandFontsFaceTest, ::testing::ValuesIn(faces),
                         [](const auto& info) { return std::string(info.param.name); });

struct ExtensionCase {
    const char* name;
    const char* fileName;
    bool registered;
};

class BrandFontsExtensionTest : public ::testing::TestWithParam<ExtensionCase> {};

TEST_P(BrandFontsExtensionTest, RegistersOnlyLowerCaseTtfAndOtf) {
    const ExtensionCase& c = GetParam();
    QTemporaryDir dir;
    copyInto(dir, "Figtree-Bold.ttf", QLatin1String(c.fileName));
    RegisteredFonts fonts{BrandFonts::registerFolder(dir.path())};
    EXPECT_EQ(fonts.ids.size(), c.registered ? 1 : 0);
    const QFontInfo bold(BrandFonts::figtree(13, Weight::bold));
    EXPECT_EQ(bold.family() == QLatin1String("Figtree"), c.registered);
    EXPECT_EQ(bold.bold(), true) << "the bold request stays bold either way";
}

INSTANTIATE_TEST_SUITE_P(Files, BrandFontsExtensionTest,
                         ::testing::Values(ExtensionCase{"ttf", "Figtree-Bold.ttf", true},
                                           ExtensionCase{"otf", "Figtree-Bold.otf", true},
                                           ExtensionCase{"UpperTTF", "Figtree-Bold.TTF", false},
                                           ExtensionCase{"UpperOTF", "Figtree-Bold.OTF", false},
                                           ExtensionCase{"MixedTtf", "Figtree-Bold.Ttf", false},
                                           ExtensionCase{"Woff", "Figtree-Bold.woff", false},
                                           ExtensionCase{"Backup", "Figtree-Bold.ttf.bak", false},
                                           ExtensionCase{"NoExtension", "Figtree-Bold", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BrandFonts, AFaceMissingFromTheFolderFallsBackWhileItsSiblingsAreUsed) {
    QTemporaryDir dir;
    copyInto(dir, "Figtree-Regular.ttf", QStringLiteral("Figtree-Regular.ttf"));
    copyInto(dir, "Figtree-Bold.ttf", QStringLiteral("Figtree-Bold.TTF"));
    RegisteredFonts fonts{BrandFonts::registerFolder(dir.path())};
    EXPECT_EQ(QFontInfo(BrandFonts::figtree(13)).family(), QLatin1String("Figtree"));
    const QFont bold = BrandFonts::figtree(13, Weight::bold);
    EXPECT_NE(QFontInfo(bold).family(), QLatin1String("Figtree"));
    EXPECT_EQ(bold.weight(), QFont::Bold);
}

TEST(BrandFonts, AMissingFolderRegistersNothing) {
    EXPECT_TRUE(BrandFonts::registerFolder(QStringLiteral("/nonexistent/Fonts")).isEmpty());
}

// The once-only guard is process-wide, so this is the only test that calls registerAll.
TEST(BrandFonts, RegisterAllRunsOnceEvenWhenTheFirstCallFoundNothing) {
    QTemporaryDir empty;
    QTemporaryDir withFonts;
    ASSERT_TRUE(QDir(withFonts.path()).mkdir(QStringLiteral("Fonts")));
    copyInto(withFonts, "Figtree-Bold.ttf", QStringLiteral("Fonts/Figtree-Bold.ttf"));

    BrandFonts::registerAll(empty.path());
    BrandFonts::registerAll(withFonts.path());
    EXPECT_NE(QFontInfo(BrandFonts::figtree(13, Weight::bold)).family(), QLatin1String("Figtree"));
}

struct ResourcesCase {
    const char* name;
    bool besideExecutable;
    bool inParent;
    const char* expected; // relative to the temporary root; null: not found
};

class ResourcesDirectoryTest : public ::testing::TestWithParam<ResourcesCase> {};

TEST_P(ResourcesDirectoryTest, LooksBesideTheExecutableThenInItsParent) {
    const ResourcesCase& c = GetParam();
    QTemporaryDir root;
    QDir dir(root.path());
    ASSERT_TRUE(dir.mkpath(QStringLiteral("bin")));
    if (c.besideExecutable) {
        ASSERT_TRUE(dir.mkpath(QStringLiteral("bin/resources")));
    }
    if (c.inParent) {
        ASSERT_TRUE(dir.mkpath(QStringLiteral("resources")));
    }
    const QString found = resourcesDirectoryFor(dir.filePath(QStringLiteral("bin")));
    if (c.expected == nullptr) {
        EXPECT_TRUE(found.isEmpty()) << found.toStdString();
    } else {
        EXPECT_EQ(found, QDir::cleanPath(dir.filePath(QLatin1String(c.expected))));
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, ResourcesDirectoryTest,
                         ::testing::Values(ResourcesCase{"BuildTree", true, false, "bin/resources"},
                                           ResourcesCase{"Installed", false, true, "resources"},
                                           ResourcesCase{"BesideWinsOverParent", true, true,
                                                         "bin/resources"},
                                           ResourcesCase{"Neither", false, false, nullptr}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ResourcesDirectory, AFileNamedResourcesIsNotTheFolder) {
    QTemporaryDir root;
    QDir dir(root.path());
    ASSERT_TRUE(dir.mkpath(QStringLiteral("bin")));
    QFile file(dir.filePath(QStringLiteral("bin/resources")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    ASSERT_TRUE(dir.mkpath(QStringLiteral("resources")));
    EXPECT_EQ(resourcesDirectoryFor(dir.filePath(QStringLiteral("bin"))),
              QDir::cleanPath(dir.filePath(QStringLiteral("resources"))));
}

} // namespace
} // namespace skrib
