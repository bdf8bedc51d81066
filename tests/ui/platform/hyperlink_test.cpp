#include <gtest/gtest.h>

#include <QCursor>
#include <QMouseEvent>
#include <QTest>

#include <cstdlib>

#include "tests/support/recording_ui_channel.h"
#include "tests/ui/qt_test_env.h"
#include "ui/main/about_dlg.h"
#include "ui/platform/hyperlink.h"

using namespace varnell;
using varnell::test::ProcessUntil;

namespace {

// Records message boxes and answers ShellOpen with a chosen result.
class RecordingDesktop : public RecordingUiChannel {
public:
    OpenResult openResult = OpenResult::kFileNotFound;
    OpenResult ShellOpen(const std::string& path) override
    {
        RecordingUiChannel::ShellOpen(path);
        return openResult;
    }
};

class HyperLinkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetUiChannel(&desktop_);
        const char* b = std::getenv("BROWSER");
        savedBrowser_ = b != nullptr ? b : "";
        hadBrowser_ = b != nullptr;
        unsetenv("BROWSER");
    }
    void TearDown() override
    {
        SetUiChannel(nullptr);
        if (hadBrowser_)
            setenv("BROWSER", savedBrowser_.c_str(), 1);
        else
            unsetenv("BROWSER");
    }
    RecordingDesktop desktop_;
    std::string savedBrowser_;
    bool hadBrowser_ = false;
};

} // namespace

TEST(HyperLinkReasons, KnownCodesHaveTheirTextsAndOthersShowTheNumber)
{
    EXPECT_EQ(CHyperLink::FailureReason(2), "The specified file was not found.");
    EXPECT_EQ(CHyperLink::FailureReason(26), "A sharing violation occurred. ");
    EXPECT_EQ(CHyperLink::FailureReason(31), "There is no application associated\nwith the given filename extension.");
    EXPECT_EQ(CHyperLink::FailureReason(12), "Unknown Error (12) occurred.");
    EXPECT_EQ(CHyperLink::FailureReason(-7), "Unknown Error (-7) occurred.");
}

TEST(HyperLinkBrowser, CommandIsCutAtThePlaceholderAndTakesTheTargetAsOneArgument)
{
    using V = std::vector<std::string>;
    EXPECT_EQ(BrowserCommand("viewer --new \"%s\" --tail", "https://a b/"),
              (V{"viewer", "--new", "https://a b/"}));
    EXPECT_EQ(BrowserCommand("viewer %s", "x"), (V{"viewer", "x"}));
    EXPECT_EQ(BrowserCommand("first -a:second", "x"), (V{"first", "-a", "x"}));
    EXPECT_EQ(BrowserCommand("  plain  ", "x"), (V{"plain", "x"}));
    EXPECT_TRUE(BrowserCommand("", "x").empty());
    EXPECT_TRUE(BrowserCommand("%s", "x").empty());
}

TEST_F(HyperLinkTest, AttachExchangesEmptyTextAndTarget)
{
    CHyperLink noTarget(QStringLiteral("https://varnell.example.org/"));
    noTarget.Attach();
    EXPECT_EQ(noTarget.URL(), QStringLiteral("https://varnell.example.org/"));
    EXPECT_EQ(noTarget.toolTip(), noTarget.URL());
    CHyperLink noText;
    noText.SetURL(QStringLiteral("mailto:x@example.org"));
    noText.Attach();
    EXPECT_EQ(noText.text(), QStringLiteral("mailto:x@example.org"));
    EXPECT_EQ(noText.LinkColour(), QColor(0, 0, 238));
    EXPECT_EQ(noText.VisitedColour(), QColor(85, 26, 139));
    EXPECT_EQ(noText.HoverColour(), QColor(255, 0, 0));
}

TEST_F(HyperLinkTest, AFailedOpenBeepsAndSaysWhyAndStaysUnvisited)
{
    CHyperLink link(QStringLiteral("missing"));
    link.SetURL(QStringLiteral("/tmp/no-such-varnell-file.htm"));
    link.Attach();
    desktop_.openResult = OpenResult::kFileNotFound;
    link.Click();
    const auto boxes = desktop_.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Unable to open hyperlink:\n\nThe specified file was not found.");
    EXPECT_EQ(boxes[0].caption, "Varnell");
    EXPECT_EQ(boxes[0].icon, BoxIcon::Warning);
    EXPECT_FALSE(link.Visited());
    EXPECT_EQ(link.CurrentColour(), QColor(0, 0, 238));
}

TEST_F(HyperLinkTest, ASuccessfulOpenMarksTheLinkVisited)
{
    CHyperLink link(QStringLiteral("site"));
    link.SetURL(QStringLiteral("https://varnell.example.org/"));
    link.Attach();
    desktop_.openResult = OpenResult::kOpened;
    link.Click();
    EXPECT_TRUE(desktop_.Boxes().empty());
    ASSERT_EQ(desktop_.Opened().size(), 1u);
    EXPECT_EQ(desktop_.Opened()[0], "https://varnell.example.org/");
    EXPECT_TRUE(link.Visited());
    EXPECT_EQ(link.CurrentColour(), QColor(85, 26, 139));
}

TEST_F(HyperLinkTest, TheUsersBrowserIsTriedWhenTheDesktopCannotOpen)
{
    CHyperLink link(QStringLiteral("site"));
    link.SetURL(QStringLiteral("https://varnell.example.org/"));
    link.Attach();
    desktop_.openResult = OpenResult::kNoApplication;
    setenv("BROWSER", "true %s", 1);
    EXPECT_GT(static_cast<int>(link.OpenTarget()), 32);
    setenv("BROWSER", "/no/such/browser-for-varnell", 1);
    link.Click();
    ASSERT_EQ(desktop_.Boxes().size(), 1u);
    EXPECT_EQ(desktop_.Boxes()[0].text, "Unable to open hyperlink:\n\nThe specified file was not found.");
    EXPECT_FALSE(link.Visited());
}

TEST_F(HyperLinkTest, HoverUnderlinesAndRedThenRestoresWhenThePointerLeaves)
{
    QWidget host;
    host.resize(300, 100);
    auto* link = new CHyperLink(QStringLiteral("a link to follow"), &host);
    link->move(20, 20);
    host.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&host));
    EXPECT_EQ(link->UnderlineMode(), CHyperLink::kUnderlineHover);
    EXPECT_FALSE(link->font().underline());
    // Fitted to its text.
    EXPECT_EQ(link->width(), QFontMetrics(link->font()).size(Qt::TextSingleLine, link->text()).width() + 2);

    const QPoint inside(5, link->height() / 2);
    QCursor::setPos(link->mapToGlobal(inside));
    QMouseEvent move(QEvent::MouseMove, QPointF(inside), QPointF(link->mapToGlobal(inside)), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(link, &move);
    EXPECT_TRUE(link->Hovering());
    EXPECT_TRUE(link->font().underline());
    EXPECT_EQ(link->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    EXPECT_TRUE(link->HoverTimerActive());
    // Still inside: the timer keeps the hover.
    QTest::qWait(250);
    EXPECT_TRUE(link->Hovering());

    QCursor::setPos(host.mapToGlobal(QPoint(290, 90)));
    ASSERT_TRUE(ProcessUntil([&] { return !link->Hovering(); }, 1000));
    EXPECT_FALSE(link->font().underline());
    EXPECT_EQ(link->palette().color(QPalette::WindowText), QColor(0, 0, 238));
    EXPECT_FALSE(link->HoverTimerActive());
}

TEST_F(HyperLinkTest, AboutBoxLinksAreAlwaysUnderlined)
{
    CAboutDlg about;
    EXPECT_EQ(about.windowTitle(), QStringLiteral("About Varnell"));
    EXPECT_EQ(about.Link(0)->text(), QStringLiteral("Varnell V1.01"));
    for (int i = 0; i < CAboutDlg::kLinkCount; ++i) {
        EXPECT_EQ(about.Link(i)->UnderlineMode(), CHyperLink::kUnderlineAlways);
        EXPECT_TRUE(about.Link(i)->font().underline());
        EXPECT_FALSE(about.Link(i)->URL().isEmpty());
    }
}
