#pragma once

#include "ui/ResourcesDirectory.h"

#include <QFont>
#include <QList>
#include <QString>

namespace skrib {

/// The program's typefaces, Figtree and Space Mono, from the "Fonts" folder of its resources,
/// with the system fonts standing in when a face is not available. Sizes are in the same
/// device-independent pixels as window geometry. Main thread only.
class BrandFonts {
public:
    BrandFonts() = delete;

    enum class Weight { regular, medium, semibold, bold };

    /// The Qt font weight of the same name.
    static QFont::Weight qtWeight(Weight weight);

    /// Registers every font file of `resourcesFolder`/Fonts with this process. Runs once: a
    /// second call does nothing, even if the first found no fonts.
    static void registerAll(const QString& resourcesFolder = resourcesDirectory());

    /// Registers the files of `folder` whose extension is exactly "ttf" or "otf" (so "TTF" is
    /// skipped); answers the ids the font database gave them. Unreadable folders and files are
    /// ignored. This is the work of `registerAll` without its once-only guard.
    static QList<int> registerFolder(const QString& folder);

    /// Figtree in `weight` ("Figtree-Regular", "-Medium", "-SemiBold", "-Bold"), or the system
    /// font in that weight.
    static QFont figtree(qreal size, Weight weight = Weight::regular);

    /// Space Mono ("SpaceMono-Regular" or "SpaceMono-Bold"), or the monospaced system font in
    /// that weight.
    static QFont spaceMono(qreal size, bool bold = false);

private:
    inline static bool registered = false;
};

} // namespace skrib
