// Controls on a real form: ownership, anchors, parent font and reading
// direction, z-order, mouse routing (hit test, capture, enter and leave,
// cursor), the combo box peer and painting with alpha.
#include "classlib/combobox.h"
#include "classlib_fixture.h"

#include <commctrl.h>

#include <algorithm>

namespace {

class ControlTest : public ApplicationTest {
protected:
    void SetUp() override
    {
        ApplicationTest::SetUp();
        app.CreateForm(form);
        form->SetBorderStyle(bsNone);
        form->SetClientWidth(200);
        form->SetClientHeight(100);
        form->SetColor(clWhite);
    }
    void Send(UINT message, WPARAM keys, int x, int y)
    {
        SendMessageW(form->Handle(), message, keys, MAKELPARAM(x, y));
    }
    TForm* form = nullptr;
    std::vector<std::string> log;
};

TEST_F(ControlTest, FormFreesItsControlsAndForgetsFreedOnes)
{
    std::vector<std::string> destroyed;
    Probe* a = new Probe(form, 0, 0, 10, 10, "a");
    Probe* b = new Probe(form, 0, 0, 10, 10, "b");
    Probe* c = new Probe(form, 0, 0, 10, 10, "c");
    for (Probe* p : {a, b, c})
        p->destroyed = &destroyed;
    delete b;  // freed on its own: leaves its form's lists
    EXPECT_EQ(form->ControlCount(), 2);
    EXPECT_EQ(form->ComponentCount(), 2);
    TComponent::Free(form);
    form = nullptr;
    EXPECT_EQ(destroyed, (std::vector<std::string>{"b", "c", "a"}));
}

TEST_F(ControlTest, AnchorsKeepTheirDistancesWhenTheParentResizes)
{
    struct {
        TAnchors anchors;
        RECT grown;  // after the client grows from 200 x 100 to 300 x 150
    } cases[] = {
        {akLeft | akTop, {10, 10, 60, 30}},
        {akRight | akTop, {110, 10, 160, 30}},
        {akLeft | akRight | akTop, {10, 10, 160, 30}},
        {akLeft | akTop | akBottom, {10, 10, 60, 80}},
        {akRight | akBottom, {110, 60, 160, 80}},
        {akLeft | akTop | akRight | akBottom, {10, 10, 160, 80}},
    };
    std::vector<Probe*> probes;
    for (const auto& c : cases) {
        Probe* p = new Probe(form, 10, 10, 50, 20, "p");
        p->SetAnchors(c.anchors);
        probes.push_back(p);
    }
    form->SetClientWidth(300);
    form->SetClientHeight(150);
    for (size_t i = 0; i < probes.size(); i++) {
        RECT r = probes[i]->BoundsRect();
        EXPECT_TRUE(EqualRect(&r, &cases[i].grown))
            << "case " << i << ": " << r.left << "," << r.top << "," << r.right << "," << r.bottom;
    }
    form->SetClientWidth(200);
    form->SetClientHeight(100);
    for (Probe* p : probes) {
        RECT r = p->BoundsRect(), original = {10, 10, 60, 30};
        EXPECT_TRUE(EqualRect(&r, &original));
    }
    // A move made by the program becomes the new origin of the rule.
    probes[1]->SetLeft(100);
    form->SetClientWidth(250);
    EXPECT_EQ(probes[1]->Left(), 150);
}

TEST_F(ControlTest, ParentFontFollowsUntilTheFontIsSetDirectly)
{
    form->Font()->SetName("Arial");
    Probe* follower = new Probe(form, 0, 0, 5, 5, "f");
    Probe* own = new Probe(form, 0, 0, 5, 5, "o");
    EXPECT_EQ(follower->Font()->Name(), "Arial");
    own->Font()->SetHeight(-20);
    EXPECT_FALSE(own->ParentFont());

    form->Font()->SetCharset(HEBREW_CHARSET);
    EXPECT_EQ(follower->Font()->Charset(), HEBREW_CHARSET);
    EXPECT_TRUE(follower->ParentFont());
    EXPECT_EQ(own->Font()->Charset(), DEFAULT_CHARSET);
    EXPECT_EQ(own->Font()->Height(), -20);
    own->SetParentFont(true);
    EXPECT_EQ(own->Font()->Charset(), HEBREW_CHARSET);
    EXPECT_EQ(own->Font()->Height(), form->Font()->Height());
}

TEST_F(ControlTest, ReadingDirectionFollowsFormAndApplication)
{
    Probe* child = new Probe(form, 0, 0, 5, 5, "c");
    Probe* fixed = new Probe(form, 0, 0, 5, 5, "x");
    fixed->SetBiDiMode(bdLeftToRight);
    app.SetBiDiMode(bdRightToLeft);
    EXPECT_EQ(form->BiDiMode(), bdRightToLeft);
    EXPECT_EQ(child->BiDiMode(), bdRightToLeft);
    EXPECT_FALSE(fixed->ParentBiDiMode());
    EXPECT_EQ(fixed->BiDiMode(), bdLeftToRight);

    SysLocale.MiddleEast = false;
    EXPECT_FALSE(child->UseRightToLeftReading());  // only with the Middle East flag
    SysLocale.MiddleEast = true;
    EXPECT_TRUE(child->UseRightToLeftReading());
    EXPECT_FALSE(fixed->UseRightToLeftReading());
    form->SetBiDiMode(bdLeftToRight);
    EXPECT_FALSE(child->UseRightToLeftReading());
    SysLocale.MiddleEast = false;
}

TEST_F(ControlTest, ClicksGoToTheTopmostEnabledControl)
{
    Probe* under = new Probe(form, 0, 0, 100, 50, "under");
    Probe* over = new Probe(form, 20, 10, 30, 20, "over");
    under->log = over->log = &log;
    struct {
        const char* what;
        std::function<void()> arrange;
        const char* clicked;
    } cases[] = {
        {"the top one wins", [] {}, "over:click"},
        {"a disabled one lets the click fall through", [&] { over->SetEnabled(false); }, "under:click"},
        {"a hidden one is skipped",
         [&] {
             over->SetEnabled(true);
             over->SetVisible(false);
         },
         "under:click"},
        {"sent to the back",
         [&] {
             over->SetVisible(true);
             over->SendToBack();
         },
         "under:click"},
        {"brought to the front", [&] { over->BringToFront(); }, "over:click"},
    };
    for (const auto& c : cases) {
        c.arrange();
        log.clear();
        Send(WM_LBUTTONDOWN, MK_LBUTTON, 30, 15);
        Send(WM_LBUTTONUP, 0, 30, 15);
        EXPECT_NE(std::find(log.begin(), log.end(), c.clicked), log.end()) << c.what;
    }
    log.clear();
    Send(WM_LBUTTONDOWN, MK_LBUTTON, 150, 80);  // on the bare form
    Send(WM_LBUTTONUP, 0, 150, 80);
    EXPECT_TRUE(log.empty());
}

TEST_F(ControlTest, ThePressedControlHoldsTheMouseUntilRelease)
{
    Probe* button = new Probe(form, 10, 10, 40, 20, "b");
    Probe* other = new Probe(form, 100, 10, 40, 20, "o");
    button->log = other->log = &log;
    button->logMoves = other->logMoves = true;
    form->Show();

    Send(WM_LBUTTONDOWN, MK_LBUTTON, 15, 15);
    EXPECT_EQ(form->CaptureControl(), button);
    Send(WM_MOUSEMOVE, MK_LBUTTON, 110, 15);  // over the other control
    Send(WM_RBUTTONDOWN, MK_LBUTTON | MK_RBUTTON, 110, 15);
    Send(WM_RBUTTONUP, MK_LBUTTON, 110, 15);  // the capture stays
    EXPECT_EQ(form->CaptureControl(), button);
    Send(WM_LBUTTONUP, 0, 110, 15);  // released outside: no click
    EXPECT_EQ(form->CaptureControl(), nullptr);
    // Only the pressed control enters and leaves while it holds the mouse; the
    // control under the mouse enters once the button is released.
    std::vector<std::string> expected = {"b:enter",       "b:downL@5,5", "b:leave",     "b:moveL@100,5",
                                         "b:downR@100,5", "b:upR@100,5", "b:upL@100,5", "o:enter"};
    EXPECT_EQ(log, expected);

    log.clear();
    Send(WM_LBUTTONDOWN, MK_LBUTTON, 105, 12);
    Send(WM_LBUTTONUP, 0, 106, 13);
    expected = {"o:downL@5,2", "o:click", "o:upL@6,3"};
    EXPECT_EQ(log, expected);
}

TEST_F(ControlTest, EnterAndLeaveReachDisabledControls)
{
    Probe* a = new Probe(form, 10, 10, 20, 20, "a");
    Probe* b = new Probe(form, 50, 10, 20, 20, "b");
    a->log = b->log = &log;
    b->SetEnabled(false);
    form->Show();
    Send(WM_MOUSEMOVE, 0, 15, 15);
    Send(WM_MOUSEMOVE, 0, 55, 15);
    Send(WM_MOUSEMOVE, 0, 150, 80);
    SendMessageW(form->Handle(), WM_MOUSELEAVE, 0, 0);
    std::vector<std::string> expected = {"a:enter", "a:leave", "b:enter", "b:leave"};
    EXPECT_EQ(log, expected);

    // A control freed while the mouse is over it is forgotten.
    Send(WM_MOUSEMOVE, 0, 15, 15);
    delete a;
    EXPECT_EQ(form->HoverControl(), nullptr);
    Send(WM_MOUSEMOVE, 0, 55, 15);
    EXPECT_EQ(form->HoverControl(), b);
}

// The hint tool's text and rectangle as the tooltip holds them.
std::wstring HintTool(HWND tooltip, RECT* rect)
{
    wchar_t text[128] = L"";
    TOOLINFOW tool = {};
    tool.cbSize = TTTOOLINFOW_V2_SIZE;
    tool.lpszText = text;
    SendMessageW(tooltip, TTM_ENUMTOOLSW, 0, reinterpret_cast<LPARAM>(&tool));
    *rect = tool.rect;
    return text;
}

TEST_F(ControlTest, HintsFollowTheControlUnderTheMouse)
{
    Probe* cut = new Probe(form, 10, 10, 40, 20, "cut");
    cut->SetHint(L"The whole caption");
    cut->SetShowHint(true);
    Probe* quiet = new Probe(form, 100, 10, 40, 20, "quiet");
    quiet->SetHint(L"Not shown");  // ShowHint is off
    form->Show();
    Send(WM_MOUSEMOVE, 0, 110, 15);
    EXPECT_EQ(form->HintWindow(), nullptr);  // no hint wanted yet

    Send(WM_MOUSEMOVE, 0, 15, 15);
    ASSERT_NE(form->HintWindow(), nullptr);
    RECT rect, bounds = cut->BoundsRect();
    EXPECT_EQ(HintTool(form->HintWindow(), &rect), L"The whole caption");
    EXPECT_TRUE(EqualRect(&rect, &bounds));

    Send(WM_MOUSEMOVE, 0, 110, 15);
    EXPECT_EQ(HintTool(form->HintWindow(), &rect), L"");
    EXPECT_TRUE(IsRectEmpty(&rect));
}

TEST_F(ControlTest, CursorComesFromTheControlUnderTheMouse)
{
    Probe* hand = new Probe(form, 10, 10, 40, 20, "h");
    hand->SetCursor(crHandPoint);
    new Probe(form, 100, 10, 40, 20, "plain");
    form->Show();
    struct {
        int x, y;
        LPCSTR cursor;
    } cases[] = {{20, 15, IDC_HAND}, {110, 15, IDC_ARROW}, {150, 80, IDC_ARROW}};
    for (const auto& c : cases) {
        SetCursorPos(form->Left() + c.x, form->Top() + c.y);
        SendMessageW(form->Handle(), WM_SETCURSOR, reinterpret_cast<WPARAM>(form->Handle()),
                     MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
        EXPECT_EQ(GetCursor(), LoadCursor(nullptr, c.cursor)) << c.x;
    }
}

TEST_F(ControlTest, ComboBoxChangesOnlyOnUserSelection)
{
    TComboBox* combo = new TComboBox(form);
    combo->SetParent(form);
    combo->SetBounds(10, 10, 120, 21);
    int changes = 0;
    combo->OnChange = [&](TObject*) { changes++; };
    int one = 1, two = 2;
    combo->AddItem(L"English", &one);
    combo->AddItem(L"Fran\u00e7ais", &two);
    combo->SetItemIndex(0);
    EXPECT_EQ(changes, 0);
    EXPECT_EQ(combo->ItemIndex(), 0);
    EXPECT_EQ(combo->ItemObject(1), &two);
    ASSERT_NE(combo->Handle(), nullptr);
    EXPECT_EQ(GetParent(combo->Handle()), form->Handle());
    wchar_t text[32];
    SendMessageW(combo->Handle(), CB_GETLBTEXT, 1, reinterpret_cast<LPARAM>(text));
    EXPECT_EQ(std::wstring(text), L"Fran\u00e7ais");

    form->Show();
    SetFocus(combo->Handle());
    SendMessageW(combo->Handle(), WM_KEYDOWN, VK_DOWN, 0);  // what a user's arrow key does
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(combo->ItemIndex(), 1);

    // The hand cursor over the combo box, which asks its form first.
    combo->SetCursor(crHandPoint);
    SetCursorPos(form->Left() + 20, form->Top() + 15);
    SendMessageW(combo->Handle(), WM_SETCURSOR, reinterpret_cast<WPARAM>(combo->Handle()),
                 MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
    EXPECT_EQ(GetCursor(), LoadCursor(nullptr, IDC_HAND));

    combo->SetItemIndex(5);  // out of range: nothing selected
    EXPECT_EQ(combo->ItemIndex(), -1);
    SysLocale.MiddleEast = true;
    form->SetBiDiMode(bdRightToLeft);
    LONG rtl = WS_EX_RTLREADING | WS_EX_RIGHT | WS_EX_LEFTSCROLLBAR;
    EXPECT_EQ(GetWindowLongW(combo->Handle(), GWL_EXSTYLE) & rtl, rtl);
    form->SetBiDiMode(bdLeftToRight);
    EXPECT_EQ(GetWindowLongW(combo->Handle(), GWL_EXSTYLE) & rtl, 0);
    SysLocale.MiddleEast = false;
}

TEST_F(ControlTest, PaintsControlsInZOrderAndPicturesWithAlpha)
{
    form->SetLeft(40);
    form->SetTop(40);
    Probe* red = new Probe(form, 10, 10, 50, 50, "red");
    red->paintColor = 0x0000FF;
    Probe* hidden = new Probe(form, 30, 10, 10, 10, "hidden");
    hidden->paintColor = 0x00FF00;
    hidden->SetVisible(false);
    // Left pixel opaque green, middle blue at half alpha, right fully transparent.
    const uint8_t rgba[] = {0, 255, 0, 255, 0, 0, 255, 128, 255, 255, 255, 0};
    std::vector<uint8_t> png = EncodeRgbaPng(3, 1, rgba);
    TPicture picture;
    picture.LoadPng(png.data(), png.size());
    Probe* overlay = new Probe(form, 20, 20, 3, 1, "overlay");
    overlay->picture = &picture;
    form->Show();
    UpdateWindow(form->Handle());
    PumpUntil([] { return false; }, 300);

    EXPECT_EQ(ScreenPixel(form, 5, 5), 0xFFFFFFu);    // the form's colour
    EXPECT_EQ(ScreenPixel(form, 15, 15), 0x0000FFu);  // the red control
    EXPECT_EQ(ScreenPixel(form, 35, 15), 0x0000FFu);  // the hidden one paints nothing
    EXPECT_EQ(ScreenPixel(form, 20, 20), 0x00FF00u);  // opaque picture pixel
    COLORREF mixed = ScreenPixel(form, 21, 20);       // half blue over red
    EXPECT_NEAR(GetRValue(mixed), 127, 2);
    EXPECT_EQ(GetGValue(mixed), 0);
    EXPECT_NEAR(GetBValue(mixed), 128, 2);
    EXPECT_EQ(ScreenPixel(form, 22, 20), 0x0000FFu);  // transparent: the red shows
}

}  // namespace
