// The drawn controls: label sizing, shape outlines, images with colour key and
// mirroring, the progress bar, and the memo's lines.
#include "classlib/image.h"
#include "classlib/label.h"
#include "classlib/memo.h"
#include "classlib/progressbar.h"
#include "classlib/shape.h"
#include "classlib_fixture.h"

namespace {

class DrawnControls : public ApplicationTest {
protected:
    void SetUp() override
    {
        ApplicationTest::SetUp();
        app.CreateForm(form);
        form->SetBorderStyle(bsNone);
        form->SetBounds(40, 40, 200, 100);
        form->SetColor(0x808080);
    }
    void ShowAndPaint()
    {
        form->Show();
        UpdateWindow(form->Handle());
        PumpUntil([] { return false; }, 300);
    }
    TLabel* NewLabel(const std::wstring& caption)
    {
        auto* label = new TLabel(form);
        label->SetParent(form);
        label->SetCaption(caption);
        return label;
    }
    TForm* form = nullptr;
};

TEST_F(DrawnControls, LabelsSizeToTheirText)
{
    TLabel* one = NewLabel(L"Hello");
    TLabel* two = NewLabel(L"Hello, wide world");
    TLabel* empty = NewLabel(L"");
    EXPECT_GT(one->Width(), 0);
    EXPECT_GT(two->Width(), one->Width());
    EXPECT_EQ(two->Height(), one->Height());
    EXPECT_EQ(empty->Height(), one->Height());  // an empty label keeps a line

    // Word wrap keeps the width and grows downwards.
    TLabel* wrapped = NewLabel(L"");
    wrapped->SetAutoSize(false);
    wrapped->SetWidth(60);
    wrapped->SetWordWrap(true);
    wrapped->SetAutoSize(true);
    wrapped->SetCaption(L"one two three four five six");
    EXPECT_EQ(wrapped->Width(), 60);
    EXPECT_GE(wrapped->Height(), 3 * one->Height());

    // Limits win over the text; a right-aligned label keeps its right edge.
    TLabel* limited = NewLabel(L"");
    limited->SetConstraints(TSizeConstraints{0, 40, 0, 0});
    limited->SetCaption(L"Hello, wide world");
    EXPECT_EQ(limited->Width(), 40);
    TLabel* right = NewLabel(L"ab");
    right->SetAlignment(taRightJustify);
    right->SetLeft(100);
    int rightEdge = right->Left() + right->Width();
    right->SetCaption(L"a much longer text");
    EXPECT_EQ(right->Left() + right->Width(), rightEdge);
    EXPECT_LT(right->Left(), 100);

    // A bigger font makes a taller label.
    int before = one->Height();
    one->Font()->SetHeight(-24);
    EXPECT_GT(one->Height(), before);
}

TEST_F(DrawnControls, ShapesDrawTheirOutlineInside)
{
    struct {
        const char* what;
        int penWidth;
        TBrushStyle brush;
        COLORREF edge, inside;
    } cases[] = {
        {"pen 1", 1, bsSolid, 0x000000, 0xFFFFFF},
        {"pen 3", 3, bsSolid, 0x000000, 0xFFFFFF},
        {"no pen", 0, bsSolid, 0xFFFFFF, 0xFFFFFF},
        {"clear brush", 1, bsClear, 0x000000, 0x808080},
    };
    std::vector<TShape*> shapes;
    int top = 0;
    for (const auto& c : cases) {
        auto* shape = new TShape(form);
        shape->SetParent(form);
        shape->SetBounds(10, top, 30, 20);
        shape->Pen()->SetColor(clBlack);
        shape->Pen()->SetWidth(c.penWidth);
        shape->Brush()->SetColor(clWhite);
        shape->Brush()->SetStyle(c.brush);
        shapes.push_back(shape);
        top += 22;
    }
    ShowAndPaint();
    for (size_t i = 0; i < shapes.size(); i++) {
        TShape* s = shapes[i];
        EXPECT_EQ(ScreenPixel(form, s->Left(), s->Top() + 10), cases[i].edge) << cases[i].what;
        EXPECT_EQ(ScreenPixel(form, s->Left() + 15, s->Top() + 10), cases[i].inside) << cases[i].what;
        COLORREF right = ScreenPixel(form, s->Left() + 29, s->Top() + 10);
        if (cases[i].penWidth > 0)
            EXPECT_EQ(right, 0x000000u) << cases[i].what << ": the outline ends inside";
        EXPECT_EQ(ScreenPixel(form, s->Left() + 30, s->Top() + 10), 0x808080u) << cases[i].what;
    }
}

TEST_F(DrawnControls, ImagesSizeKeyAndMirror)
{
    // A 2 x 1 bitmap: blue on the left, white (its bottom-left colour) on the right.
    const uint8_t dib[] = {40, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 1, 0, 24, 0, 0,   0,   0,   0,   0, 0, 0, 0,
                           0,  0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  0, 255, 255, 255, 255, 0, 0, 0, 0};
    struct {
        const char* what;
        bool transparent, mirrored;
        COLORREF left, right;
    } cases[] = {
        {"as stored", false, false, 0xFFFFFF, 0xFF0000},
        {"colour key", true, false, 0x808080, 0xFF0000},
        {"mirrored", false, true, 0xFF0000, 0xFFFFFF},
        {"mirrored and keyed", true, true, 0xFF0000, 0x808080},
    };
    std::vector<TImage*> images;
    int top = 10;
    for (const auto& c : cases) {
        auto* image = new TImage(form);
        image->SetParent(form);
        image->SetBounds(10, top, 50, 50);
        image->SetAutoSize(true);
        image->SetTransparent(c.transparent);
        image->SetMirrored(c.mirrored);
        image->Picture()->LoadDib(dib, sizeof dib);
        EXPECT_EQ(image->Width(), 2) << c.what;
        EXPECT_EQ(image->Height(), 1) << c.what;
        images.push_back(image);
        top += 5;
    }
    ShowAndPaint();
    for (size_t i = 0; i < images.size(); i++) {
        EXPECT_EQ(ScreenPixel(form, 10, images[i]->Top()), cases[i].left) << cases[i].what;
        EXPECT_EQ(ScreenPixel(form, 11, images[i]->Top()), cases[i].right) << cases[i].what;
    }
}

TEST_F(DrawnControls, ProgressBarKeepsItsRangeAndFillsFromTheLeft)
{
    auto* bar = new TProgressBar(form);
    bar->SetParent(form);
    bar->SetBounds(10, 10, 104, 16);
    struct {
        int set, shown;
    } cases[] = {{42, 42}, {-5, 0}, {150, 100}, {50, 50}};
    for (const auto& c : cases) {
        bar->SetPosition(c.set);
        EXPECT_EQ(bar->Position(), c.shown) << c.set;
    }
    ShowAndPaint();
    EXPECT_EQ(ScreenPixel(form, 10 + 2 + 10, 18), 0xAB5A00u);  // filled half
    EXPECT_EQ(ScreenPixel(form, 10 + 2 + 80, 18), 0xFFFFFFu);  // empty half
    EXPECT_EQ(ScreenPixel(form, 10, 10), 0x808080u);           // frame
}

TEST_F(DrawnControls, MemoLinesGetCrLf)
{
    auto* memo = new TMemo(form);
    memo->SetParent(form);
    memo->SetBounds(10, 10, 150, 60);
    memo->SetReadOnly(true);
    memo->SetScrollBars(ssVertical);
    memo->AddText(L"a\nb\r\nc\rd");
    memo->AddText(L"e");
    EXPECT_EQ(memo->Text(), L"a\r\nb\r\nc\r\nd\r\ne");
    wchar_t text[64];
    GetWindowTextW(memo->Handle(), text, 64);
    EXPECT_EQ(std::wstring(text), memo->Text());
    EXPECT_TRUE(GetWindowLongW(memo->Handle(), GWL_STYLE) & ES_READONLY);
    EXPECT_EQ(SendMessageW(memo->Handle(), EM_GETLINECOUNT, 0, 0), 5);
    memo->Clear();
    EXPECT_EQ(GetWindowTextLengthW(memo->Handle()), 0);
}

}  // namespace
