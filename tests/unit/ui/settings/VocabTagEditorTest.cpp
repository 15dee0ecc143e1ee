#include "ui/settings/VocabTagEditor.h"

#include <gtest/gtest.h>
#include <memory>
#include <numeric>
#include <ostream>

#include <QFocusEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

namespace skrib {
namespace {

struct Editor {
    QWidget host;
    VocabTagEditor* editor;
    std::vector<QStringList> changes;

    explicit Editor(QStringList words, int width = 400) {
        host.resize(3000, 1000);
        host.show();
        editor = new VocabTagEditor(
            std::move(words), [this](const QStringList& w) { changes.push_back(w); }, &host);
        editor->show();
        setWidth(width);
    }
    void setWidth(int width) { editor->resize(width, editor->height()); }
    QLineEdit* field() const { return editor->inputField(); }
};

// --- Editing ---

enum class Action { returnKey, backspace, leaveField };

struct EditCase {
    const char* name;
    QStringList initial;
    const char* typed;
    Action action;
    QStringList wordsAfter;
    int callbacks;
    const char* fieldAfter;
    friend void PrintTo(const EditCase& c, std::ostream* os) { *os << c.name; }
};

class TagEditing : public ::testing::TestWithParam<EditCase> {};

TEST_P(TagEditing, ChangesTheListAndReportsOnlyRealChanges) {
    const EditCase& c = GetParam();
    Editor e(c.initial);
    QTest::keyClicks(e.field(), QString::fromUtf8(c.typed));
    switch (c.action) {
    case Action::returnKey:
        QTest::keyClick(e.field(), Qt::Key_Return);
        break;
    case Action::backspace:
        QTest::keyClick(e.field(), Qt::Key_Backspace);
        break;
    case Action::leaveField: {
        QFocusEvent out(QEvent::FocusOut, Qt::MouseFocusReason);
        QCoreApplication::sendEvent(e.field(), &out);
        break;
    }
    }
    EXPECT_EQ(e.editor->words(), c.wordsAfter);
    ASSERT_EQ(static_cast<int>(e.changes.size()), c.callbacks);
    if (c.callbacks > 0) {
        EXPECT_EQ(e.changes.back(), c.wordsAfter);
    }
    EXPECT_EQ(e.field()->text().toStdString(), c.fieldAfter);
    EXPECT_EQ(e.editor->tags().size(), c.wordsAfter.size());
}

INSTANTIATE_TEST_SUITE_P(
    Vocabulary, TagEditing,
    ::testing::Values(EditCase{"ReturnAddsTheBareWord",
                               {"alpha"},
                               "   beta, ",
                               Action::returnKey,
                               {"alpha", "beta"},
                               1,
                               ""},
                      EditCase{"CommasInsideSpacesAreTrimmed",
                               {},
                               " ,,gamma ray,, ",
                               Action::returnKey,
                               {"gamma ray"},
                               1,
                               ""},
                      EditCase{"DuplicateIgnoringCaseIsNotAdded",
                               {"Kubernetes"},
                               "kUBERNETES",
                               Action::returnKey,
                               {"Kubernetes"},
                               0,
                               ""},
                      EditCase{"BlankInputKeepsTheField",
                               {"alpha"},
                               "  ,  ",
                               Action::returnKey,
                               {"alpha"},
                               0,
                               "  ,  "},
                      EditCase{"BackspaceOnEmptyFieldRemovesTheLastWord",
                               {"alpha", "beta"},
                               "",
                               Action::backspace,
                               {"alpha"},
                               1,
                               ""},
                      EditCase{
                          "BackspaceWithNoWordsDoesNothing", {}, "", Action::backspace, {}, 0, ""},
                      EditCase{"BackspaceWhileTypingEditsTheField",
                               {"alpha"},
                               "bet",
                               Action::backspace,
                               {"alpha"},
                               0,
                               "be"},
                      EditCase{"LeavingTheFieldAddsTheWord",
                               {"alpha"},
                               "delta",
                               Action::leaveField,
                               {"alpha", "delta"},
                               1,
                               ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TagEditing, InitialWordsAreShownAsGivenWithoutACallback) {
    Editor e({"alpha", "ALPHA", "beta"});
    EXPECT_EQ(e.editor->words(), QStringList({"alpha", "ALPHA", "beta"}));
    EXPECT_EQ(e.editor->tags().size(), 3);
    EXPECT_TRUE(e.changes.empty());
}

TEST(TagEditing, RemoveButtonRemovesItsOwnWord) {
    Editor e({"alpha", "beta", "gamma"});
    e.editor->tags()[1]->findChild<QPushButton*>()->click();
    EXPECT_EQ(e.editor->words(), QStringList({"alpha", "gamma"}));
    ASSERT_EQ(e.changes.size(), 1u);
    EXPECT_EQ(e.changes[0], QStringList({"alpha", "gamma"}));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(e.editor->findChildren<QPushButton*>().size(), 2);
}

// --- Layout ---

TEST(TagLayout, HeightFollowsTheRowsOfTags) {
    Editor e({});
    EXPECT_EQ(e.editor->height(), 48);
    EXPECT_EQ(e.field()->geometry(), QRect(14, 12, 400 - 24 - 2, 24));

    QTest::keyClicks(e.field(), QStringLiteral("alpha"));
    QTest::keyClick(e.field(), Qt::Key_Return);
    EXPECT_EQ(e.editor->height(), 80);
    // The first row sits right above the field.
    EXPECT_EQ(e.field()->y(), 80 - 12 - 24);
    EXPECT_EQ(e.editor->tags()[0]->geometry(), QRect(12, 12, e.editor->tags()[0]->width(), 26));

    QTest::keyClick(e.field(), Qt::Key_Backspace);
    EXPECT_EQ(e.editor->height(), 48);
}

TEST(TagLayout, NarrowingWrapsRowsUpwardsAndGrowsByThirtyTwoEach) {
    Editor e({"alpha", "beta", "gamma", "delta"}, 2000);
    ASSERT_EQ(e.editor->height(), 80);
    std::vector<int> widths;
    for (QWidget* tag : e.editor->tags()) {
        widths.push_back(tag->width());
        EXPECT_EQ(tag->height(), 26);
    }
    // Room for exactly the first two tags per row.
    e.setWidth(2 * 12 + widths[0] + 6 + widths[1] + 6 + widths[2] - 1);
    ASSERT_EQ(e.editor->height(), 112);
    const auto& tags = e.editor->tags();
    const int firstRowY = 112 - 12 - 24 - 6 - 26;
    EXPECT_EQ(tags[0]->geometry().topLeft(), QPoint(12, firstRowY));
    EXPECT_EQ(tags[1]->geometry().topLeft(), QPoint(12 + widths[0] + 6, firstRowY));
    EXPECT_EQ(tags[2]->geometry().topLeft(), QPoint(12, firstRowY - 32));
    EXPECT_EQ(e.field()->y(), 112 - 12 - 24);

    // Narrower than any tag: one tag per row, none shrunk.
    e.setWidth(40);
    EXPECT_EQ(e.editor->height(), 48 + 6 + 4 * 26 + 3 * 6);
    for (std::size_t i = 0; i < widths.size(); ++i) {
        EXPECT_EQ(e.editor->tags()[static_cast<int>(i)]->width(), widths[i]);
        EXPECT_EQ(e.editor->tags()[static_cast<int>(i)]->x(), 12);
    }

    e.setWidth(2000);
    EXPECT_EQ(e.editor->height(), 80);
}

} // namespace
} // namespace skrib
