// A private application object per test, with helpers to find and close the
// system message boxes that the code under test shows.
#pragma once

#include "classlib/application.h"
#include "classlib/control.h"
#include "classlib/form.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

class ApplicationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        previous_ = Application;
        Application = &app;
    }
    void TearDown() override
    {
        app.DestroyComponents();
        Application = previous_;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        }
    }

    TApplication app;

private:
    TApplication* previous_ = nullptr;
};

// A windowless control that logs its events as short words.
class Probe : public TControl {
public:
    Probe(TForm* form, int left, int top, int width, int height, std::string name)
        : TControl(form), name(std::move(name))
    {
        SetParent(form);
        SetBounds(left, top, width, height);
    }
    ~Probe() override
    {
        if (destroyed)
            destroyed->push_back(name);
    }
    void MouseDown(TMouseButton button, TShiftState, int x, int y) override
    {
        Log("down" + ButtonName(button), x, y);
    }
    void MouseMove(TShiftState shift, int x, int y) override
    {
        if (logMoves)
            Log(std::string("move") + ((shift & ssLeft) ? "L" : ""), x, y);
    }
    void MouseUp(TMouseButton button, TShiftState, int x, int y) override
    {
        Log("up" + ButtonName(button), x, y);
    }
    void MouseEnter() override { log->push_back(name + ":enter"); }
    void MouseLeave() override { log->push_back(name + ":leave"); }
    void Click() override
    {
        log->push_back(name + ":click");
        TControl::Click();
    }
    void Paint(TCanvas& canvas) override
    {
        if (paintColor >= 0) {
            RECT all = {0, 0, Width(), Height()};
            canvas.FillRect(all, paintColor);
        }
        if (picture)
            canvas.Draw(0, 0, *picture);
    }

    std::string name;
    std::vector<std::string>* log = &ownLog;
    std::vector<std::string> ownLog;
    std::vector<std::string>* destroyed = nullptr;
    bool logMoves = false;
    TColor paintColor = -1;
    const TPicture* picture = nullptr;

private:
    static std::string ButtonName(TMouseButton button)
    {
        return button == mbLeft ? "L" : button == mbRight ? "R" : "M";
    }
    void Log(const std::string& what, int x, int y)
    {
        log->push_back(name + ":" + what + "@" + std::to_string(x) + "," + std::to_string(y));
    }
};

// Reads a pixel of a borderless form's client area as it is on screen.
COLORREF ScreenPixel(TForm* form, int x, int y);

// A PNG of width x height RGBA pixels (8 bits each).
std::vector<uint8_t> EncodeRgbaPng(int width, int height, const uint8_t* rgba);

// The text and caption of the system message boxes closed by CloseMessageBoxes.
struct SeenBox {
    std::wstring caption, text;
};

// Starts a thread timer that closes every message box of this thread as it
// appears and records it; StopClosingMessageBoxes ends it.
void StartClosingMessageBoxes(std::vector<SeenBox>* seen);
void StopClosingMessageBoxes();

// Dispatches messages until done() or the timeout (milliseconds) passes.
template <class Done>
bool PumpUntil(Done done, DWORD timeout = 5000)
{
    DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > timeout)
            return false;
        MSG message;
        if (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT)
                continue;
            TranslateMessage(&message);
            DispatchMessageW(&message);
        } else {
            Sleep(5);
        }
    }
    return true;
}
