#include "ui/BrandFonts.h"

#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QtMath>

namespace skrib {
namespace {

void applySize(QFont& font, qreal size) {
    font.setPixelSize(std::max(1, qRound(size)));
}

// The registered face with this family and style name (the two halves of its PostScript name,
// "Figtree-SemiBold"), if the font database knows it.
bool findFace(const QString& family, const QString& style, qreal size, QFont& out) {
    if (!QFontDatabase::styles(family).contains(style)) {
        return false;
    }
    out = QFontDatabase::font(family, style, 12);
    applySize(out, size);
    return true;
}

QFont systemFallback(QFontDatabase::SystemFont which, QFont::Weight weight, qreal size) {
    QFont font = QFontDatabase::systemFont(which);
    font.setWeight(weight);
    font.setItalic(false);
    applySize(font, size);
    return font;
}

} // namespace

QFont::Weight BrandFonts::qtWeight(Weight weight) {
    switch (weight) {
    case Weight::regular:
        return QFont::Normal;
    case Weight::medium:
        return QFont::Medium;
    case Weight::semibold:
        return QFont::DemiBold;
    case Weight::bold:
        return QFont::Bold;
    }
    return QFont::Normal;
}

void BrandFonts::registerAll(const QString& resourcesFolder) {
    if (registered) {
        return;
    }
    // Set first: a registration that failed is not tried again.
    registered = true;
    if (resourcesFolder.isEmpty()) {
        return;
    }
    registerFolder(QDir(resourcesFolder).filePath(QStringLiteral("Fonts")));
}

QList<int> BrandFonts::registerFolder(const QString& folder) {
    QList<int> ids;
    const QDir dir(folder);
    if (!dir.exists()) {
        return ids;
    }
    for (const QFileInfo& entry : dir.entryInfoList(QDir::Files, QDir::Name)) {
        const QString extension = entry.suffix();
        if (extension != QLatin1String("ttf") && extension != QLatin1String("otf")) {
            continue;
        }
        const int id = QFontDatabase::addApplicationFont(entry.absoluteFilePath());
        if (id >= 0) {
            ids.append(id);
        }
    }
    return ids;
}

QFont BrandFonts::figtree(qreal size, Weight weight) {
    static const char* const styles[] = {"Regular", "Medium", "SemiBold", "Bold"};
    QFont font;
    if (findFace(QStringLiteral("Figtree"), QLatin1String(styles[static_cast<int>(weight)]), size,
                 font)) {
        return font;
    }
    return systemFallback(QFontDatabase::GeneralFont, qtWeight(weight), size);
}

QFont BrandFonts::spaceMono(qreal size, bool bold) {
    QFont font;
    if (findFace(QStringLiteral("Space Mono"),
                 bold ? QStringLiteral("Bold") : QStringLiteral("Regular"), size, font)) {
        return font;
    }
    return systemFallback(QFontDatabase::FixedFont, bold ? QFont::Bold : QFont::Normal, size);
}

} // namespace skrib
