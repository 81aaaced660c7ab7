// The wizard's own controls through their operations: picture loading, the drag
// area's moves, button looks and cursors, check box states, caption check box
// and static text geometry, left to right and mirrored.
#include "classlib_fixture.h"
#include "wizard/buttons.h"

#include <gtest/gtest.h>

namespace {

class OwnControlsTest : public ApplicationTest {
protected:
    void SetUp() override
    {
        ApplicationTest::SetUp();
        app.CreateForm(form);
        form->SetBorderStyle(bsNone);
        form->SetClientWidth(500);
        form->SetClientHeight(400);
        form->SetColor(clWhite);
    }
    void TearDown() override
    {
        SysLocale.MiddleEast = false;
        ApplicationTest::TearDown();
    }

    TclCaptionButton* MakeButton()
    {
        auto* button = new TclCaptionButton(form);
        EXPECT_TRUE(button->CreateParts());
        button->SetParent(form);
        button->SetWidth(100);
        button->SetHeight(24);
        return button;
    }
    TclCheckBox* MakeCheckBox(TclCheckBox* box)
    {
        box->SetImageKind(ImageKindBitmap);
        box->ImageTicked = 21201;
        box->ImageTickedDisabled = 21202;
        box->ImageUnticked = 21203;
        box->ImageUntickedDisabled = 21204;
        box->ImageThird = 21205;
        box->ImageThirdDisabled = 21206;
        box->SetParent(form);
        return box;
    }

    TForm* form = nullptr;
};

// Every picture of the wizard is in the program's resources at its size.
TEST_F(OwnControlsTest, EveryPictureLoadsAtItsSize)
{
    struct {
        int id;
        uint8_t kind;
        int width, height;
    } pictures[] = {
        {21300, ImageKindPng, 101, 13},   {21303, ImageKindPng, 306, 82},   {21304, ImageKindPng, 48, 36},
        {21470, ImageKindPng, 94, 46},    {21201, ImageKindBitmap, 16, 17}, {21202, ImageKindBitmap, 16, 17},
        {21203, ImageKindBitmap, 16, 17}, {21204, ImageKindBitmap, 16, 17}, {21205, ImageKindBitmap, 16, 17},
        {21206, ImageKindBitmap, 16, 17}, {21212, ImageKindBitmap, 32, 32}, {21213, ImageKindBitmap, 32, 32},
        {21305, ImageKindBitmap, 12, 10},
    };
    for (const auto& p : pictures) {
        TImage* image = CreateResourceImage(form, p.id, p.kind);
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->Width(), p.width) << p.id;
        EXPECT_EQ(image->Height(), p.height) << p.id;
        EXPECT_TRUE(image->Visible() && image->Transparent() && image->AutoSize()) << p.id;
        EXPECT_EQ(image->Picture()->IsBitmap(), p.kind == ImageKindBitmap) << p.id;
        // Bitmaps leave out their white bottom-left pixel; PNGs are transparent there.
        TPicture shown =
            image->Picture()->IsBitmap() ? image->Picture()->WithColorKeyBottomLeft() : *image->Picture();
        EXPECT_EQ(shown.Pixel(0, shown.Height() - 1) >> 24, 0u) << p.id;
    }
}

TEST_F(OwnControlsTest, LoadersRefuseMissingPicturesAndKeepTheOldOne)
{
    TImage image(nullptr);
    struct {
        const char* what;
        int id;
        uint8_t kind;
        bool loads;
        int width;
    } cases[] = {
        {"kind 0 is a bitmap", 21201, 0, true, 16},
        {"kind 3 is a bitmap", 21213, 3, true, 32},
        {"a PNG by kind 2", 21300, ImageKindPng, true, 101},
        {"id -1 is refused", -1, ImageKindPng, false, 101},
        {"id -1 as a bitmap", -1, ImageKindBitmap, false, 101},
        {"a missing PNG", 29999, ImageKindPng, false, 101},
        {"a missing bitmap", 29999, ImageKindBitmap, false, 101},
        {"a bitmap id asked for as PNG", 21201, ImageKindPng, false, 101},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(LoadImageResource(&image, c.id, c.kind), c.loads) << c.what;
        EXPECT_EQ(image.Picture()->Width(), c.width) << c.what;
    }
    EXPECT_FALSE(LoadPngResource(nullptr, 21300));
    // A failed load still gives the image, without a picture.
    TImage* empty = CreateResourceImage(form, 29999, ImageKindPng);
    ASSERT_NE(empty, nullptr);
    EXPECT_TRUE(empty->Picture()->Empty());
}

TEST_F(OwnControlsTest, SetImageLoadsOnlyANewId)
{
    TclResImage image(nullptr);
    EXPECT_EQ(image.ImageId(), -1);
    image.SetImage(21201);
    EXPECT_EQ(image.Width(), 16);
    image.Picture()->Clear();  // a reload would bring the picture back
    image.SetImage(21201);
    EXPECT_TRUE(image.Picture()->Empty()) << "the same id was loaded again";

    image.SetImage(21213);
    EXPECT_EQ(image.Picture()->Width(), 32);
    image.SetImage(-1);  // nothing is loaded: the old picture stays
    EXPECT_EQ(image.ImageId(), -1);
    EXPECT_EQ(image.Picture()->Width(), 32);
    image.SetImage(21201);
    EXPECT_EQ(image.Picture()->Width(), 16);
}

// A parent that logs how the drag area moves it.
class MoveLog : public TWinControl {
public:
    explicit MoveLog(TComponent* owner) : TWinControl(owner) { SetBounds(100, 200, 500, 400); }
    std::vector<std::string> moves;

protected:
    void BoundsChanged() override
    {
        if (Top() != lastTop_)
            moves.push_back("top " + std::to_string(Top()));
        if (Left() != lastLeft_)
            moves.push_back("left " + std::to_string(Left()));
        lastTop_ = Top();
        lastLeft_ = Left();
    }

private:
    int lastTop_ = 200, lastLeft_ = 100;
};

TEST_F(OwnControlsTest, DragAreaMovesItsParentByTheOffsetFromThePress)
{
    MoveLog parent(nullptr);
    TclFormMove area(nullptr);
    area.TControl::SetParent(&parent);
    area.SetBounds(0, 0, 500, 18);
    EXPECT_EQ(area.Anchors(), akLeft | akTop | akRight);
    EXPECT_EQ(area.Cursor(), crSizeAll);

    // The right button alone starts nothing.
    area.MouseDown(mbRight, ssRight, 10, 5);
    area.MouseMove(ssRight, 20, 9);
    area.MouseUp(mbRight, 0, 20, 9);
    EXPECT_FALSE(area.Dragging());
    EXPECT_TRUE(parent.moves.empty());

    // 5 right and 3 down: Top first, then Left. The area moves with its parent, so
    // the pointer is back at the press point; a right click there keeps the drag.
    area.MouseDown(mbLeft, ssLeft, 10, 5);
    area.MouseMove(ssLeft, 15, 8);
    area.MouseDown(mbRight, ssLeft | ssRight, 10, 5);
    area.MouseUp(mbRight, ssLeft, 10, 5);
    EXPECT_TRUE(area.Dragging());
    area.MouseUp(mbLeft, 0, 12, 6);  // the release moves once more
    EXPECT_FALSE(area.Dragging());
    std::vector<std::string> expected = {"top 203", "left 105", "top 204", "left 107"};
    EXPECT_EQ(parent.moves, expected);

    parent.moves.clear();
    area.MouseMove(ssLeft, 30, 30);  // no drag: nothing moves
    EXPECT_TRUE(parent.moves.empty());
}

TEST_F(OwnControlsTest, CaptionButtonLooksFollowTheState)
{
    TclCaptionButton* button = MakeButton();
    button->SetCaption(L"Yes");
    button->SetOnClick([](TObject*) {});
    int changes = 0;
    button->OnStateChange = [&](TObject* sender) {
        EXPECT_EQ(sender, button);
        changes++;
    };
    TTntLabel* overlay = button->Overlay();
    auto look = [&] {
        return std::to_string(button->CaptionLabel()->Font()->Color()) + "/" +
               std::to_string(button->Shape()->Pen()->Color()) + "/" +
               std::to_string(button->Shape()->Brush()->Color());
    };
    const std::string normal = "0/0/16777215", hot = "8388736/8388736/16777215",
                      disabled = "8421504/8421504/16777215";
    button->SetVisible(true);
    EXPECT_EQ(look(), normal);
    struct {
        const char* what;
        std::function<void()> act;
        std::string look;
        bool hot;
        int changes;
    } steps[] = {
        {"enter: hot", [&] { overlay->MouseEnter(); }, hot, true, 1},
        {"leave: normal", [&] { overlay->MouseLeave(); }, normal, false, 2},
        {"disabled", [&] { button->SetEnabled(false); }, disabled, false, 2},
        {"enter while disabled: only the flag", [&] { overlay->MouseEnter(); }, disabled, true, 2},
        {"enabled while hot: normal", [&] { button->SetEnabled(true); }, normal, true, 2},
        {"shown again: the hot look",
         [&] {
             button->SetVisible(false);
             button->SetVisible(true);
         },
         hot, true, 2},
        {"leave", [&] { overlay->MouseLeave(); }, normal, false, 3},
    };
    for (const auto& s : steps) {
        s.act();
        EXPECT_EQ(look(), s.look) << s.what;
        EXPECT_EQ(button->Hot(), s.hot) << s.what;
        EXPECT_EQ(changes, s.changes) << s.what;
    }

    // A border of width 0 takes the fill colour in every state.
    auto* flat = new TclCaptionButton(form);
    flat->BorderWidth = 0;
    flat->BrushColorNormal = 0x00FF00;
    flat->BrushColorHot = 0x0000FF;
    flat->BrushColorDisabled = 0xFF0000;
    ASSERT_TRUE(flat->CreateParts());
    flat->SetParent(form);
    EXPECT_EQ(flat->Shape()->Pen()->Width(), 0);
    flat->DrawNormal();
    EXPECT_EQ(flat->Shape()->Pen()->Color(), 0x00FF00);
    flat->DrawHot();
    EXPECT_EQ(flat->Shape()->Pen()->Color(), 0x0000FF);
    flat->DrawDisabled();
    EXPECT_EQ(flat->Shape()->Pen()->Color(), 0xFF0000);
}

TEST_F(OwnControlsTest, ButtonPartsMoveTogetherAndTheOverlayLiesOnTop)
{
    TclCaptionButton* button = MakeButton();
    button->SetLeft(390);
    button->SetTop(368);
    button->SetAnchors(akRight | akBottom);
    for (TControl* part :
         {static_cast<TControl*>(button->Shape()), static_cast<TControl*>(button->CaptionLabel()),
          static_cast<TControl*>(button->Overlay())}) {
        RECT r = part->BoundsRect(), expected = {390, 368, 490, 392};
        EXPECT_TRUE(EqualRect(&r, &expected));
        EXPECT_EQ(part->Anchors(), akRight | akBottom);
    }
    EXPECT_EQ(button->GetLeft(), 390);
    EXPECT_EQ(button->GetWidth(), 100);
    EXPECT_EQ(form->ControlAtPos(POINT{400, 370}, false), button->Overlay());
    // The caption set before SetParent is reset to a blank by it.
    auto* late = new TclCaptionButton(form);
    ASSERT_TRUE(late->CreateParts());
    late->SetCaption(L"early");
    late->SetParent(form);
    EXPECT_EQ(late->CaptionLabel()->Caption(), L" ");
}

TEST_F(OwnControlsTest, ButtonCursorAndClicks)
{
    TclCaptionButton* button = MakeButton();
    int clicks = 0;
    EXPECT_EQ(button->GetCursor(), crDefault);  // no handler yet
    button->SetOnClick([&](TObject* sender) {
        EXPECT_EQ(sender, button);
        clicks++;
    });
    EXPECT_EQ(button->GetCursor(), crHandPoint);
    button->SetEnabled(false);
    EXPECT_EQ(button->GetCursor(), crDefault);
    button->SetEnabled(true);
    EXPECT_EQ(button->GetCursor(), crHandPoint);
    button->SetOnClick(nullptr);
    EXPECT_EQ(button->GetCursor(), crDefault);
    button->Overlay()->Click();
    EXPECT_EQ(clicks, 0);
}

TEST_F(OwnControlsTest, CheckBoxStatesAndPictures)
{
    TclCheckBox* box = MakeCheckBox(new TclCheckBox(form));
    EXPECT_EQ(box->Cursor(), crHandPoint);
    EXPECT_EQ(box->ImageId(), 21203);
    std::vector<std::string> log;
    box->OnChange = [&](TObject*) { log.push_back("change " + std::to_string(box->State())); };
    box->OnClick = [&](TObject*) { log.push_back("click " + std::to_string(box->State())); };
    struct {
        const char* what;
        std::function<void()> act;
        uint8_t state;
        int image;
        std::vector<std::string> log;
    } steps[] = {
        {"a click ticks", [&] { box->Click(); }, 1, 21201, {"change 1", "click 1"}},
        {"SetState(1) on a ticked box: nothing", [&] { box->SetState(1); }, 1, 21201, {}},
        {"SetState(2): the third state", [&] { box->SetState(2); }, 2, 21205, {"change 2"}},
        {"SetState(3) is ignored", [&] { box->SetState(3); }, 2, 21205, {}},
        {"a click on the third state unticks", [&] { box->Click(); }, 0, 21203, {"change 0", "click 0"}},
        {"a second click ticks", [&] { box->Click(); }, 1, 21201, {"change 1", "click 1"}},
        {"disabled ticked", [&] { box->SetEnabled(false); }, 1, 21202, {}},
        {"disabled third", [&] { box->SetState(2); }, 2, 21206, {"change 2"}},
        {"disabled unticked", [&] { box->SetChecked(false); }, 0, 21204, {"change 0"}},
        {"enabled again",
         [&] {
             box->SetEnabled(true);
             box->SetChecked(true);
         },
         1,
         21201,
         {"change 1"}},
    };
    for (const auto& s : steps) {
        log.clear();
        s.act();
        EXPECT_EQ(box->State(), s.state) << s.what;
        EXPECT_EQ(box->ImageId(), s.image) << s.what;
        EXPECT_EQ(log, s.log) << s.what;
    }
    box->SetState(2);
    EXPECT_TRUE(box->IsChecked());

    // A box without pictures shows nothing.
    auto* bare = new TclCheckBox(form);
    bare->SetParent(form);
    EXPECT_TRUE(bare->Picture()->Empty());
    bare->Click();
    EXPECT_TRUE(bare->Picture()->Empty());
}

TEST_F(OwnControlsTest, CaptionCheckBoxGeometryBothWays)
{
    auto* box = static_cast<TclCaptionCheckBox*>(MakeCheckBox(new TclCaptionCheckBox(form)));
    box->SetCaption(L"I have read and accepted the Licensing Agreement.");
    TTntLabel* caption = box->CaptionLabel();
    caption->SetAutoSize(false);
    caption->SetWidth(120);
    box->SetTop(200);
    box->SetLeft(30);
    EXPECT_EQ(box->Left(), 30);
    EXPECT_EQ(caption->Left(), 30 + 16 + 8);
    EXPECT_EQ(caption->Top(), 204);
    EXPECT_EQ(box->GetLeft(), 30);
    EXPECT_EQ(box->GetWidth(), 16 + 8 + 120);
    EXPECT_EQ(box->GetHeight(), std::max(17, 4 + caption->Height()));
    box->SetWidth(200);
    EXPECT_EQ(caption->Width(), 176);

    // Mirrored: the caption stands left of the picture.
    caption->SetWidth(120);
    SysLocale.MiddleEast = true;
    app.SetBiDiMode(bdRightToLeft);
    box->SetLeft(30);
    EXPECT_EQ(caption->Left(), 30);
    EXPECT_EQ(box->Left(), 158);
    EXPECT_EQ(box->GetLeft(), 30);
    app.SetBiDiMode(bdLeftToRight);

    // Disabling changes the picture only.
    TColor colour = caption->Font()->Color();
    box->SetEnabled(false);
    EXPECT_EQ(box->ImageId(), 21204);
    EXPECT_TRUE(caption->Enabled());
    EXPECT_EQ(caption->Font()->Color(), colour);
}

TEST_F(OwnControlsTest, CaptionCheckBoxCutsItsCaptionAtTheMaximumWidth)
{
    auto* box = static_cast<TclCaptionCheckBox*>(MakeCheckBox(new TclCaptionCheckBox(form)));
    const std::wstring text = L"A caption far wider than the limit";
    box->SetCaption(text);
    TTntLabel* caption = box->CaptionLabel();
    int natural = caption->Width();
    ASSERT_GT(natural, 76);
    EXPECT_EQ(caption->Hint(), L"");
    struct {
        int maxWidth;
        int captionWidth;
        std::wstring hint;
    } cases[] = {
        {0, natural, L""},                 // no limit
        {16 + 8 + natural, natural, L""},  // it just fits
        {100, 76, text},                   // cut, the whole text as the hint
        {20, 0, text},                     // narrower than picture and gap: no caption
    };
    for (const auto& c : cases) {
        box->SetMaxWidth(c.maxWidth);
        EXPECT_EQ(caption->Width(), c.captionWidth) << c.maxWidth;
        EXPECT_EQ(caption->Hint(), c.hint) << c.maxWidth;
    }
}

TEST_F(OwnControlsTest, StaticTextFramesItsLabel)
{
    auto* text = new TclStaticText(form);
    text->SetParent(form);
    text->SetLeft(20);
    text->SetTop(100);
    TJvLabel* label = text->Label();
    EXPECT_EQ(label->Left(), 25);  // pen 1 + margin 4
    EXPECT_EQ(label->Top(), 105);
    EXPECT_EQ(text->Width(), label->Width() + 10);

    text->SetWidth(300);
    text->SetHeight(30);
    EXPECT_EQ(label->Width(), 290);
    EXPECT_EQ(label->Height(), 20);

    text->SetAutoSize(true);
    text->SetText("C:\\Program Files\\Brimvault");
    EXPECT_EQ(text->GetText(), "C:\\Program Files\\Brimvault");
    EXPECT_EQ(label->Caption(), L"C:\\Program Files\\Brimvault");
    EXPECT_EQ(text->Width(), label->Width() + 10);
    EXPECT_EQ(text->Height(), label->Height() + 10);
    int width = text->Width();
    text->SetWidth(400);  // ignored while the label sizes itself
    text->SetHeight(60);
    EXPECT_EQ(text->Width(), width);

    text->SetMargin(2);
    EXPECT_EQ(label->Left(), 23);
    EXPECT_EQ(text->Width(), label->Width() + 6);
    text->SetPenWidth(3);  // the label stays
    EXPECT_EQ(label->Left(), 23);

    text->SetTransparent(false);
    EXPECT_EQ(text->Brush()->Style(), bsSolid);
    text->SetTransparent(true);
    EXPECT_EQ(text->Brush()->Style(), bsClear);
    text->SetColor(0xF0F0F0);
    EXPECT_EQ(text->Brush()->Color(), 0xF0F0F0);
    EXPECT_EQ(label->Color(), 0xF0F0F0);
}

}  // namespace
