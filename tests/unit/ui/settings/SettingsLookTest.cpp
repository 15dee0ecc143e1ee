// The settings page as it is drawn: dark over the window's background whatever the desktop's
// theme, the cards evenly inset, the pop-up menus dark with a chevron.

#include "SettingsPage.h"
#include "ui/HexColor.h"
#include "ui/settings/SettingsWidgets.h"

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>

namespace skrib::testing {
namespace {

const QColor windowBackground(0x1A, 0x1A, 0x1C);

/// The page drawn over the window's background, as the main window shows it.
QImage drawnOverWindow(QWidget& page) {
    QImage image(page.size(), QImage::Format_ARGB32);
    image.fill(windowBackground);
    page.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

/// The cards of the page (rounded panels with the cards' corner radius).
QList<RoundedPanel*> cards(const QWidget& page) {
    QList<RoundedPanel*> out;
    for (RoundedPanel* panel : page.findChildren<RoundedPanel*>()) {
        if (panel->cornerRadius() == 12 && panel->isVisible()) {
            out.append(panel);
        }
    }
    return out;
}

int colourDistance(const QColor& a, const QColor& b) {
    return std::abs(a.red() - b.red()) + std::abs(a.green() - b.green()) +
           std::abs(a.blue() - b.blue());
}

TEST(SettingsLook, MarginsShowTheWindowBackground) {
    SettingsPage page;
    SettingsView& view = page.build();
    view.resize(490, 442); // the page in a 640 × 480 window
    QApplication::processEvents();
    const QImage image = drawnOverWindow(view);
    // Left of the column, above the first section and between two sections.
    for (const QPoint at : {QPoint(10, 10), QPoint(10, 200), QPoint(240, 4)}) {
        EXPECT_EQ(image.pixelColor(at).name(), windowBackground.name()) << at.x() << "," << at.y();
    }
    // Scrolled to the end too.
    view.scrollView()->verticalScrollBar()->setValue(
        view.scrollView()->verticalScrollBar()->maximum());
    QApplication::processEvents();
    EXPECT_EQ(drawnOverWindow(view).pixelColor(10, 200).name(), windowBackground.name());
}

TEST(SettingsLook, CardsKeepTheSameInsetOnBothSidesWhileTheColumnScrolls) {
    SettingsPage page;
    SettingsView& view = page.build();
    view.resize(490, 442);
    QApplication::processEvents();
    ASSERT_TRUE(view.overlayScroller()->isVisible()); // the column is taller than the page
    const auto all = cards(view);
    ASSERT_EQ(all.size(), 5);
    for (RoundedPanel* card : all) {
        const int left = card->mapTo(&view, QPoint(0, 0)).x();
        EXPECT_EQ(left, 28);
        EXPECT_EQ(view.width() - (left + card->width()), 28);
    }
    // The floating scroll bar moves the column.
    QScrollBar* overlay = view.overlayScroller();
    EXPECT_EQ(overlay->maximum(), view.scrollView()->verticalScrollBar()->maximum());
    overlay->setValue(overlay->maximum());
    EXPECT_EQ(view.scrollView()->verticalScrollBar()->value(), overlay->maximum());
    EXPECT_EQ(overlay->geometry(), QRect(view.width() - 8, 0, 8, view.height()));
}

TEST(SettingsLook, NoFloatingScrollBarWhenEverythingFits) {
    SettingsPage page;
    SettingsView& view = page.build();
    view.resize(490, 3000);
    QApplication::processEvents();
    EXPECT_FALSE(view.overlayScroller()->isVisible());
}

TEST(SettingsLook, PopupsShowAChevronAndADarkMenu) {
    SettingsPage page;
    SettingsView& view = page.build();
    view.resize(490, 442);
    QApplication::processEvents();
    for (QComboBox* popup : {view.hotkeyPopup(), view.stylePopup()}) {
        const QImage image = popup->grab().toImage();
        int chevronPixels = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = image.width() - PopupButton::chevronArea; x < image.width(); ++x) {
                if (colourDistance(image.pixelColor(x, y), PopupButton::chevronColor()) < 40) {
                    ++chevronPixels;
                }
            }
        }
        EXPECT_GE(chevronPixels, 6) << popup->currentText().toStdString();

        popup->showPopup();
        QApplication::processEvents();
        QWidget* menu = popup->view()->window();
        ASSERT_TRUE(menu->isVisible());
        const QImage list = menu->grab().toImage();
        // Every pixel of the menu's frame and background is dark; only item titles are light.
        int light = 0;
        int total = 0;
        for (int y = 0; y < list.height(); ++y) {
            for (int x = 0; x < list.width(); ++x) {
                const bool border =
                    x < 4 || y < 4 || x >= list.width() - 4 || y >= list.height() - 4;
                if (border) {
                    ++total;
                    light += list.pixelColor(x, y).lightness() > 120 ? 1 : 0;
                }
            }
        }
        EXPECT_GT(total, 0);
        EXPECT_EQ(light, 0) << popup->currentText().toStdString();
        popup->hidePopup();
    }
}

} // namespace
} // namespace skrib::testing
