// The wizard's frame and step indicator: layout numbers from the control tree,
// left to right and mirrored; the lit step; and screenshots of the frame with
// each step lit, kept under artifacts/.
#include "classlib_fixture.h"
#include "wizard/frame.h"
#include "wizard/stepindicator.h"
#include "xinput.h"

#include <gtest/gtest.h>

namespace {

class FrameTest : public ApplicationTest {
protected:
    void SetUp() override
    {
        ApplicationTest::SetUp();
        app.CreateForm(form);
        form->SetBorderStyle(bsNone);
        form->SetClientWidth(500);
        form->SetClientHeight(400);
        form->SetColor(clWhite);
        form->Font()->SetName("Liberation Sans");
        form->Font()->SetHeight(-12);
        InitSetupFrame(&frame);
        frame.form = form;
        frame.stripHeight = 18;
    }
    void TearDown() override
    {
        SysLocale.MiddleEast = false;
        ApplicationTest::TearDown();
    }
    void Mirror(bool on) { ApplyFrameLanguage(&frame, on ? 178 : 0, ""); }
    // The wizard's row: three steps, 23-pixel boxes, 12 x 10 arrows, at top 100.
    std::unique_ptr<StepIndicators> MakeSteps(int arrowImageId)
    {
        std::unique_ptr<StepIndicators> steps = AllocStepIndicators(3);
        EXPECT_TRUE(steps);
        steps->parent = form;
        steps->arrowImageId = arrowImageId;
        steps->arrowImageKind = 1;
        steps->arrowWidth = 12;
        steps->arrowHeight = 10;
        steps->penWidth = 1;
        steps->boxWidth = 23;
        steps->boxHeight = 23;
        steps->normalBrushColor = 0x7A2F00;
        steps->normalFontColor = 0xB5B5B5;
        steps->normalPenColor = 0;
        steps->activeBrushColor = 0xAB5A00;
        steps->activeFontColor = 0xFFFFFF;
        steps->activePenColor = 0;
        EXPECT_TRUE(CreateStepIndicators(steps.get()));
        SetStepIndicatorsTop(steps.get(), 100);
        LayoutStepIndicators(steps.get(), 32);
        return steps;
    }
    // The frame as the page list builds it.
    void BuildWizardFrame()
    {
        ASSERT_TRUE(CreateFrameBox(form, 1));
        ASSERT_TRUE(CreateTopBand(form, 18, 55, 0xF0F0F0));
        ASSERT_TRUE(CreateBottomBand(form, 45, 0xF0F0F0));
        ASSERT_TRUE(CreateSetupFrame(&frame));
        frame.versionLabel->Font()->SetColor(0xFFFFFF);
        frame.versionLabel->SetTop(2);
        frame.versionLabel->SetLeft(117);
        frame.titleLabel->SetTop(38);
        for (TclCaptionButton* button : {frame.leftButton, frame.middleButton, frame.rightButton})
            button->SetTop(368);
        LoadImageResource(frame.centrePicture, 21303, ImageKindPng);
        frame.centrePicture->SetLeft(166);
        frame.centrePicture->SetTop(140);
        header = CreateHeaderPicture(form);
        ASSERT_TRUE(header);
        header->SetLeft(22);
    }

    TForm* form = nullptr;
    SetupFrame frame;
    TImage* header = nullptr;
};

TEST_F(FrameTest, StepRowPositionsBothWays)
{
    struct Place {
        int arrow, box;
    };
    struct {
        const char* what;
        bool arrows, mirrored;
        Place items[3];
        bool flipped;
    } cases[] = {
        {"left to right", true, false, {{32, 52}, {83, 103}, {134, 154}}, false},
        {"mirrored", true, true, {{456, 425}, {405, 374}, {354, 323}}, true},
        {"no arrows", false, false, {{0, 32}, {0, 71}, {0, 110}}, false},
        {"no arrows, mirrored", false, true, {{0, 445}, {0, 406}, {0, 367}}, false},
    };
    for (const auto& c : cases) {
        Mirror(c.mirrored);
        std::unique_ptr<StepIndicators> steps = MakeSteps(c.arrows ? 21305 : 0);
        for (int k = 0; k < 3; k++) {
            const StepItem& item = steps->items[k];
            EXPECT_EQ(item.box->Left(), c.items[k].box) << c.what << " step " << k + 1;
            EXPECT_EQ(item.number->Left(), c.items[k].box) << c.what;
            EXPECT_EQ(item.box->Top(), 100);
            EXPECT_EQ(item.number->BiDiMode(), bdLeftToRight) << "digits never mirror";
            if (!c.arrows) {
                EXPECT_EQ(item.arrow, nullptr);
                continue;
            }
            EXPECT_EQ(item.arrow->Left(), c.items[k].arrow) << c.what << " step " << k + 1;
            EXPECT_EQ(item.arrow->Top(), 106);
            EXPECT_EQ(item.arrow->Width(), 12);
            EXPECT_EQ(item.arrow->Mirrored(), c.flipped) << c.what;
        }
    }
    EXPECT_EQ(AllocStepIndicators(0), nullptr);
    EXPECT_EQ(AllocStepIndicators(-1), nullptr);
}

TEST_F(FrameTest, ShowStepLightsOneStepAndPaintsWithoutDispatchingInput)
{
    std::unique_ptr<StepIndicators> steps = MakeSteps(21305);
    form->Show();
    for (const StepItem& item : steps->items)
        EXPECT_FALSE(item.box->Visible() || item.number->Visible() || item.arrow->Visible());

    // A click waiting in the queue is not handled by the repaint.
    PostMessageW(form->Handle(), WM_APP, 0, 0);
    ShowStep(steps.get(), 2);
    MSG waiting;
    EXPECT_TRUE(PeekMessageW(&waiting, form->Handle(), WM_APP, WM_APP, PM_REMOVE));
    for (int k = 0; k < 3; k++) {
        const StepItem& item = steps->items[k];
        bool lit = k == 1;
        EXPECT_EQ(item.box->Brush()->Color(), lit ? 0xAB5A00 : 0x7A2F00) << k;
        EXPECT_EQ(item.number->Font()->Color(), lit ? 0xFFFFFF : 0xB5B5B5) << k;
        EXPECT_EQ(item.number->Caption(), std::to_wstring(k + 1));
        EXPECT_TRUE(item.box->Visible() && item.number->Visible());
        EXPECT_EQ(item.arrow->Visible(), k != 0) << "the row begins with a box";
    }
    ShowStep(steps.get(), 4);  // beyond the row: nothing lit
    for (const StepItem& item : steps->items)
        EXPECT_EQ(item.box->Brush()->Color(), 0x7A2F00);
    ShowStep(steps.get(), 0);
    for (const StepItem& item : steps->items)
        EXPECT_FALSE(item.box->Visible() || item.number->Visible() || item.arrow->Visible());
    ShowStep(nullptr, 1);
}

TEST_F(FrameTest, ButtonsLogoAndTitleFollowTheReadingSide)
{
    ASSERT_TRUE(CreateSetupFrame(&frame));
    struct {
        const char* what;
        bool mirrored;
        int middleWidth, rightWidth;
        int left, middle, right, logo, title;
    } cases[] = {
        {"left to right", false, 100, 100, 10, 280, 390, 8, 80},
        {"mirrored", true, 100, 100, 390, 120, 10, 391, 8},
        {"wide buttons", false, 200, 200, 10, 80, 290, 8, 80},
        {"wide buttons, mirrored", true, 200, 200, 390, 220, 10, 391, 8},
    };
    for (const auto& c : cases) {
        Mirror(c.mirrored);
        frame.middleButton->SetWidth(c.middleWidth);
        frame.rightButton->SetWidth(c.rightWidth);
        LayoutSetupButtons(&frame);
        SetTitleText(&frame, L"Welcome");
        EXPECT_EQ(frame.leftButton->GetLeft(), c.left) << c.what;
        EXPECT_EQ(frame.middleButton->GetLeft(), c.middle) << c.what;
        EXPECT_EQ(frame.rightButton->GetLeft(), c.right) << c.what;
        EXPECT_EQ(frame.titleStripLogo->Left(), c.logo) << c.what;
        EXPECT_EQ(frame.titleLabel->Left(), c.title) << c.what;
        EXPECT_EQ(frame.titleLabel->Width(), 412) << c.what;
        EXPECT_EQ(frame.titleStripLogo->Anchors(), c.mirrored ? (akTop | akRight) : (akLeft | akTop));
    }
    // The title keeps its width and grows in height with a long text.
    int oneLine = frame.titleLabel->Height();
    SetTitleText(&frame, L"A page title long enough to need a second line within four hundred "
                         L"and twelve pixels of width");
    EXPECT_EQ(frame.titleLabel->Width(), 412);
    EXPECT_GT(frame.titleLabel->Height(), oneLine);
}

TEST_F(FrameTest, FrameControlsAndFactories)
{
    ASSERT_TRUE(CreateSetupFrame(&frame));
    EXPECT_TRUE(form->DoubleBuffered());
    EXPECT_EQ(frame.versionLabel->Caption(), L"Ver 2.04.02");
    EXPECT_EQ(frame.titleStripLogo->Width(), 101);
    EXPECT_EQ(frame.titleStripLogo->Height(), 13);
    EXPECT_EQ(frame.titleStripLogo->Top(), 3);
    EXPECT_FALSE(frame.titleStripLogo->Picture()->Empty());
    // The flat frame buttons keep their caption colour under the pointer.
    EXPECT_EQ(frame.leftButton->FontColorHot, 0);
    EXPECT_EQ(frame.leftButton->GetWidth(), 100);
    EXPECT_EQ(frame.leftButton->GetHeight(), 24);
    TclCaptionButton* boxButton = CreateCaptionButton(form);
    ASSERT_TRUE(boxButton);
    EXPECT_EQ(boxButton->FontColorHot, 0x800080);

    TclCheckBox* box = CreateCheckBox(form);
    EXPECT_EQ(box->ImageId(), 21203);
    EXPECT_TRUE(box->Transparent());
    TclCaptionCheckBox* captionBox = CreateCaptionCheckBox(form);
    EXPECT_FALSE(captionBox->Transparent());
    EXPECT_EQ(captionBox->ImageTickedDisabled, 21202);

    TclCustomBox* line = CreateFrameBox(form, 1);
    EXPECT_EQ(line->Width(), 500);
    EXPECT_EQ(line->Height(), 400);
    EXPECT_EQ(line->Brush()->Style(), bsClear);
    TShape* bottom = CreateBottomBand(form, 45, 0xF0F0F0);
    EXPECT_EQ(bottom->Top(), 355);
    EXPECT_EQ(form->Controls(0), bottom) << "bands lie behind everything";
    TJvXPProgressBar* bar = CreateProgressBar(form);
    EXPECT_EQ(bar->Left(), 24);
    EXPECT_EQ(bar->Width(), 452);
    EXPECT_EQ(CreateStartPicture(form)->Width(), 94);
    TImage* header = CreateHeaderPicture(form);
    EXPECT_EQ(header->Top(), 28);
    EXPECT_EQ(header->Width(), 48);
    TTntMemo* memo = CreateLicenceMemo(&frame);
    EXPECT_EQ(memo->Width(), 484);
    EXPECT_TRUE(memo->ReadOnly());

    // Without a strip the drag area covers the whole client height.
    SetupFrame bare;
    InitSetupFrame(&bare);
    EXPECT_EQ(bare.titleMargin, 80);
    EXPECT_FALSE(CreateSetupFrame(&bare));  // no form
    bare.form = form;
    int before = form->ControlCount();
    ASSERT_TRUE(CreateSetupFrame(&bare));
    EXPECT_EQ(bare.titleStripLogo, nullptr);
    TclFormMove* area = nullptr;
    for (int i = before; i < form->ControlCount(); i++) {
        if (auto* found = dynamic_cast<TclFormMove*>(form->Controls(i)))
            area = found;
    }
    ASSERT_TRUE(area);
    EXPECT_EQ(area->Height(), 400);
    EXPECT_EQ(area->Width(), 500);
}

TEST_F(FrameTest, ApplyFrameLanguageSetsDirectionAndFonts)
{
    ASSERT_TRUE(CreateSetupFrame(&frame));
    ApplyFrameLanguage(&frame, 177, "");  // Hebrew, no font name
    EXPECT_TRUE(SysLocale.MiddleEast);
    EXPECT_EQ(app.BiDiMode(), bdRightToLeft);
    EXPECT_EQ(form->BiDiMode(), bdRightToLeft);
    EXPECT_EQ(form->Font()->Charset(), 177);
    EXPECT_EQ(form->Font()->Name(), "Liberation Sans");
    EXPECT_EQ(frame.titleLabel->Font()->Charset(), 177);
    EXPECT_EQ(frame.leftButton->CaptionLabel()->Font()->Charset(), 177);
    std::string buttonFont = frame.leftButton->CaptionLabel()->Font()->Name();

    ApplyFrameLanguage(&frame, 128, "MS UI Gothic");
    EXPECT_FALSE(SysLocale.MiddleEast);
    EXPECT_EQ(form->BiDiMode(), bdLeftToRight);
    EXPECT_EQ(form->Font()->Name(), "MS UI Gothic");
    EXPECT_EQ(frame.titleLabel->Font()->Name(), "MS UI Gothic");
    EXPECT_EQ(frame.middleButton->CaptionLabel()->Font()->Name(), "MS UI Gothic");
    EXPECT_NE(buttonFont, "MS UI Gothic");
}

TEST_F(FrameTest, CenterControlOverTheFormOrTheScreen)
{
    TShape box(nullptr);
    box.SetBounds(0, 0, 300, 200);
    TForm* other = new TForm(&app);
    other->SetBounds(100, 100, 500, 400);
    CenterControl(&box, other);
    EXPECT_EQ(box.Left(), 200);
    EXPECT_EQ(box.Top(), 200);
    box.SetWidth(301);  // divisions truncate
    CenterControl(&box, other);
    EXPECT_EQ(box.Left(), 199);
    CenterControl(&box, nullptr);
    EXPECT_EQ(box.Left(), (GetSystemMetrics(SM_CXSCREEN) - 301) / 2);
    EXPECT_EQ(box.Top(), (GetSystemMetrics(SM_CYSCREEN) - 200) / 2);
    CenterControl(nullptr, other);
}

// Screenshots of the whole frame with each step lit, both ways, and pixels of
// the strip, bands, frame line, background and step boxes.
TEST_F(FrameTest, FrameLooksRightWithEachStepLit)
{
    BuildWizardFrame();
    std::unique_ptr<StepIndicators> steps = MakeSteps(21305);
    for (TclCaptionButton* button : {frame.leftButton, frame.middleButton, frame.rightButton})
        button->SetVisible(true);
    for (bool mirrored : {false, true}) {
        Mirror(mirrored);
        LayoutSetupButtons(&frame);
        LayoutStepIndicators(steps.get(), 32);
        header->SetLeft(mirrored ? 500 - 48 - 22 : 22);
        frame.versionLabel->SetLeft(mirrored ? 500 - frame.versionLabel->Width() - 117 : 117);
        SetTitleText(&frame, L"Welcome to the Brimvault setup");
        frame.leftButton->SetCaption(L"Options");
        frame.middleButton->SetCaption(L"Quit");
        frame.rightButton->SetCaption(L"Install");
        frame.rightButton->SetEnabled(false);
        form->SetBounds(150, 100, 500, 400);
        form->Show();
        for (int step = 1; step <= 3; step++) {
            ShowStep(steps.get(), step);
            PumpUntil([] { return false; }, 200);
            std::string name =
                std::string("frame-") + (mirrored ? "rtl" : "ltr") + "-step" + std::to_string(step);
            SaveWindowShot(form->Handle(), ARTIFACT_DIR, name);
            for (int k = 0; k < 3; k++) {
                const TShape* box = steps->items[k].box;
                // A point of the box that the number does not cover.
                COLORREF inside = ScreenPixel(form, box->Left() + 4, box->Top() + 4);
                EXPECT_EQ(inside, k + 1 == step ? 0xAB5A00u : 0x7A2F00u) << name << " box " << k + 1;
            }
        }
        struct {
            const char* what;
            int x, y;
            COLORREF colour;
        } samples[] = {
            {"strip", 250, 9, 0x7A2F00},
            {"top band", 250, 60, 0xF0F0F0},
            {"bottom band", 250, 360, 0xF0F0F0},
            {"frame line", 0, 200, 0x000000},
            {"frame line right", 499, 200, 0x000000},
            {"white page", 250, 300, 0xFFFFFF},
            {"disabled button border", frame.rightButton->GetLeft(), 380, 0x808080},
            {"enabled button border", frame.leftButton->GetLeft(), 380, 0x000000},
        };
        for (const auto& s : samples)
            EXPECT_EQ(ScreenPixel(form, s.x, s.y), s.colour) << s.what << (mirrored ? " mirrored" : "");
    }

    // The frame buttons do not change under the pointer (real X input).
    TclCaptionButton* options = frame.leftButton;
    ASSERT_TRUE(XMoveTo(form->Left() + options->GetLeft() + 50, form->Top() + 380));
    ASSERT_TRUE(PumpUntil([&] { return options->Hot(); }));
    PumpUntil([] { return false; }, 200);
    EXPECT_EQ(ScreenPixel(form, options->GetLeft(), 380), 0x000000u);
    SaveWindowShot(form->Handle(), ARTIFACT_DIR, "frame-rtl-button-hover");
    ASSERT_TRUE(XMoveTo(5, 5));
    ASSERT_TRUE(PumpUntil([&] { return !options->Hot(); }));
}

}  // namespace
