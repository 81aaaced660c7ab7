// The wizard's own controls on a real form driven by real X input (xdotool on
// the private display): hover, press, click inside and release outside, a
// disabled button, check boxes, the drag area; screen pixels of every look,
// and screenshots of the form in each state under artifacts/.
#include "classlib_fixture.h"
#include "wizard/buttons.h"
#include "xinput.h"

#include <gtest/gtest.h>

namespace {

const COLORREF Purple = 0x800080, Grey = 0x808080, Black = 0x000000, White = 0xFFFFFF;
const COLORREF StripBlue = 0x7A2F00, BoxGrey = 0xE6E6E6;

class OwnControlsInputTest : public ApplicationTest {
protected:
    void SetUp() override
    {
        ApplicationTest::SetUp();
        ASSERT_TRUE(XMoveTo(5, 5)) << "xdotool cannot be started";
        app.CreateForm(form);
        form->SetBorderStyle(bsNone);
        form->SetClientWidth(500);
        form->SetClientHeight(400);
        form->SetColor(clWhite);
        form->Font()->SetName("Liberation Sans");
        form->Font()->SetHeight(-12);
        BuildControls();
        form->SetBounds(200, 150, 500, 400);
        form->Show();
        PumpFor(300);
    }

    void BuildControls()
    {
        // The title strip with the logo; the drag area over it.
        auto* strip = new TShape(form);
        strip->SetParent(form);
        strip->SetBounds(0, 0, 500, 18);
        strip->Pen()->SetColor(0x7A2F00);
        strip->Brush()->SetColor(0x7A2F00);
        logo = CreateResourceImage(form, 21300, ImageKindPng);
        logo->SetLeft(8);
        logo->SetTop(3);
        drag = new TclFormMove(form);
        drag->SetParent(form);
        drag->SetBounds(0, 0, 500, 18);

        ok = MakeButton(20, 40, L"OK");
        ok->SetOnClick([this](TObject*) { okClicks++; });
        install = MakeButton(140, 40, L"Install");
        install->SetOnClick([this](TObject*) { installClicks++; });
        install->SetEnabled(false);

        box = static_cast<TclCheckBox*>(Boxed(new TclCheckBox(form)));
        box->SetTransparent(true);
        box->SetLeft(20);
        box->SetTop(90);
        captionBox = static_cast<TclCaptionCheckBox*>(Boxed(new TclCaptionCheckBox(form)));
        captionBox->SetTop(120);
        captionBox->SetLeft(20);
        captionBox->SetCaption(L"I have read and accepted the Licensing Agreement.");

        text = new TclStaticText(form);
        text->SetParent(form);
        text->SetLeft(20);
        text->SetTop(160);
        text->SetAutoSize(true);
        text->SetText("C:\\Program Files\\Brimvault");

        // A grey panel with a message-box icon and an unticked box on it: the
        // bitmaps' white background must let the grey through.
        auto* panel = new TShape(form);
        panel->SetParent(form);
        panel->SetBounds(300, 40, 180, 80);
        panel->Pen()->SetColor(0xE6E6E6);
        panel->Brush()->SetColor(0xE6E6E6);
        icon = CreateResourceImage(form, 21212, ImageKindBitmap);
        icon->SetLeft(316);
        icon->SetTop(60);
        greyBox = static_cast<TclCheckBox*>(Boxed(new TclCheckBox(form)));
        greyBox->SetTransparent(true);
        greyBox->SetLeft(380);
        greyBox->SetTop(70);
        // Every picture of a check box: ticked, unticked, third; enabled, then disabled.
        for (int i = 0; i < 6; i++) {
            auto* sample = Boxed(new TclCheckBox(form));
            sample->SetTransparent(true);
            sample->SetState(static_cast<uint8_t>(1 + (i % 3 == 1 ? -1 : i % 3 == 2 ? 1 : 0)));
            sample->SetEnabled(i < 3);
            sample->SetLeft(360 + i * 18);
            sample->SetTop(96);
        }
    }

    TclCaptionButton* MakeButton(int left, int top, const wchar_t* caption)
    {
        auto* button = new TclCaptionButton(form);
        EXPECT_TRUE(button->CreateParts());
        button->SetParent(form);
        button->SetLeft(left);
        button->SetTop(top);
        button->SetWidth(100);
        button->SetHeight(24);
        button->SetEnabled(true);
        button->SetCaption(caption);
        button->SetVisible(true);
        return button;
    }

    TclCheckBox* Boxed(TclCheckBox* checkBox)
    {
        checkBox->SetImageKind(ImageKindBitmap);
        checkBox->ImageTicked = 21201;
        checkBox->ImageTickedDisabled = 21202;
        checkBox->ImageUnticked = 21203;
        checkBox->ImageUntickedDisabled = 21204;
        checkBox->ImageThird = 21205;
        checkBox->ImageThirdDisabled = 21206;
        checkBox->SetParent(form);
        return checkBox;
    }

    // Screen position of a point of the form's client area.
    POINT At(int x, int y) { return POINT{form->Left() + x, form->Top() + y}; }
    void MoveTo(int x, int y)
    {
        POINT p = At(x, y);
        ASSERT_TRUE(XMoveTo(p.x, p.y));
    }
    void PumpFor(DWORD milliseconds)
    {
        PumpUntil([] { return false; }, milliseconds);
    }
    // Waits for the events to arrive and the form to repaint.
    bool Settle(std::function<bool()> done)
    {
        bool reached = PumpUntil(done, 5000);
        PumpFor(150);
        return reached;
    }
    COLORREF Pixel(int x, int y) { return ScreenPixel(form, x, y); }
    void Shot(const std::string& name) { SaveWindowShot(form->Handle(), ARTIFACT_DIR, name); }

    TForm* form = nullptr;
    TImage* logo = nullptr;
    TImage* icon = nullptr;
    TclFormMove* drag = nullptr;
    TclCaptionButton* ok = nullptr;
    TclCaptionButton* install = nullptr;
    TclCheckBox* box = nullptr;
    TclCheckBox* greyBox = nullptr;
    TclCaptionCheckBox* captionBox = nullptr;
    TclStaticText* text = nullptr;
    int okClicks = 0;
    int installClicks = 0;
};

TEST_F(OwnControlsInputTest, PicturesShowThroughTheirTransparentParts)
{
    Shot("owncontrols-normal");
    struct {
        const char* what;
        int x, y;
        COLORREF colour;
    } samples[] = {
        {"strip through the logo's transparent corner", 8 + 99, 3 + 12, StripBlue},
        {"logo mark, white", 8 + 1, 3 + 6, White},
        {"panel around the error icon", 316, 60, BoxGrey},
        {"error icon centre ring, red", 316 + 16, 60 + 2, RGB(208, 48, 48)},
        {"grey panel at the check box corner", 380, 70, BoxGrey},
        {"check box frame", 380 + 1, 70 + 9, StripBlue},
        {"enabled button border", 20, 40 + 12, Black},
        {"disabled button border", 140, 40 + 12, Grey},
        {"static text frame", 20, 165, Black},
    };
    for (const auto& s : samples)
        EXPECT_EQ(Pixel(s.x, s.y), s.colour) << s.what;
}

TEST_F(OwnControlsInputTest, ButtonTurnsPurpleUnderThePointerAndClicksOnlyWhenReleasedInside)
{
    // 1. Hover: border and caption purple.
    MoveTo(70, 52);
    ASSERT_TRUE(Settle([&] { return ok->Hot(); }));
    EXPECT_EQ(Pixel(20, 52), Purple);
    Shot("owncontrols-button-hot");

    // 2. Press and release inside: one click.
    ASSERT_TRUE(XButtonDown(1));
    ASSERT_TRUE(Settle([&] { return form->CaptureControl() == ok->Overlay(); }));
    Shot("owncontrols-button-pressed");
    ASSERT_TRUE(XButtonUp(1));
    ASSERT_TRUE(Settle([&] { return okClicks == 1; }));
    EXPECT_EQ(Pixel(20, 52), Purple);

    // 3. Press inside, release outside: no click, and the look goes back to normal.
    ASSERT_TRUE(XButtonDown(1));
    ASSERT_TRUE(Settle([&] { return form->CaptureControl() == ok->Overlay(); }));
    MoveTo(250, 300);
    ASSERT_TRUE(XButtonUp(1));
    ASSERT_TRUE(Settle([&] { return form->CaptureControl() == nullptr && !ok->Hot(); }));
    EXPECT_EQ(okClicks, 1);
    EXPECT_EQ(Pixel(20, 52), Black);
}

TEST_F(OwnControlsInputTest, DisabledButtonSeesThePointerButIgnoresClicks)
{
    MoveTo(190, 52);
    ASSERT_TRUE(Settle([&] { return install->Hot(); }));
    EXPECT_EQ(Pixel(140, 52), Grey);  // the look stays disabled
    Shot("owncontrols-disabled-hover");
    ASSERT_TRUE(XButtonDown(1));
    ASSERT_TRUE(XButtonUp(1));
    MoveTo(250, 300);
    ASSERT_TRUE(Settle([&] { return !install->Hot(); }));
    EXPECT_EQ(installClicks, 0);

    // Enabled again: the pointer turns it purple and a click reaches it.
    install->SetEnabled(true);
    MoveTo(190, 52);
    ASSERT_TRUE(Settle([&] { return install->Hot(); }));
    EXPECT_EQ(Pixel(140, 52), Purple);
    ASSERT_TRUE(XdoTool({"click", "1"}));
    ASSERT_TRUE(Settle([&] { return installClicks == 1; }));
}

TEST_F(OwnControlsInputTest, CheckBoxesToggleOnTheirPictureOnly)
{
    MoveTo(28, 99);
    ASSERT_TRUE(XdoTool({"click", "1"}));
    ASSERT_TRUE(Settle([&] { return box->State() == 1; }));
    EXPECT_EQ(box->ImageId(), 21201);
    Shot("owncontrols-checked");

    // Without double-click messages a fast double click is two clicks.
    int changes = 0;
    box->OnChange = [&](TObject*) { changes++; };
    ASSERT_TRUE(XdoTool({"click", "--repeat", "2", "--delay", "30", "1"}));
    ASSERT_TRUE(Settle([&] { return changes == 2; }));
    EXPECT_EQ(box->State(), 1);

    // The caption of a caption check box takes no click; its picture does.
    TTntLabel* caption = captionBox->CaptionLabel();
    MoveTo(caption->Left() + 20, caption->Top() + 6);
    ASSERT_TRUE(XdoTool({"click", "1"}));
    MoveTo(captionBox->Left() + 8, captionBox->Top() + 9);  // the picture
    PumpFor(300);
    EXPECT_EQ(captionBox->State(), 0);
    ASSERT_TRUE(XdoTool({"click", "1"}));
    ASSERT_TRUE(Settle([&] { return captionBox->State() == 1; }));

    // A disabled box ignores clicks and shows the greyed picture.
    box->SetEnabled(false);
    MoveTo(28, 99);
    ASSERT_TRUE(XdoTool({"click", "1"}));
    PumpFor(400);
    EXPECT_EQ(box->State(), 1);
    EXPECT_EQ(box->ImageId(), 21202);
    Shot("owncontrols-disabled-checked");
}

TEST_F(OwnControlsInputTest, DraggingTheStripMovesTheWindow)
{
    RECT before;
    GetWindowRect(form->Handle(), &before);
    MoveTo(250, 9);
    ASSERT_TRUE(XButtonDown(1));
    ASSERT_TRUE(Settle([&] { return drag->Dragging(); }));
    POINT target = {before.left + 250 + 40, before.top + 9 + 25};
    ASSERT_TRUE(XMoveTo(target.x, target.y));
    ASSERT_TRUE(Settle([&] { return form->Left() == before.left + 40; }));
    ASSERT_TRUE(XButtonUp(1));
    ASSERT_TRUE(Settle([&] { return !drag->Dragging(); }));
    RECT after;
    GetWindowRect(form->Handle(), &after);
    EXPECT_EQ(after.left - before.left, 40);
    EXPECT_EQ(after.top - before.top, 25);
    EXPECT_EQ(after.right - after.left, 500);
    Shot("owncontrols-dragged");
}

}  // namespace
