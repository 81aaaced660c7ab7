// The application object and its message loop.
#include "classlib/application.h"

#include "classlib/form.h"

namespace {

const wchar_t ApplicationClassName[] = L"TApplication";

LRESULT CALLBACK ApplicationWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

TApplication defaultApplication;

}  // namespace

TApplication* Application = &defaultApplication;

TApplication::TApplication() : TComponent(nullptr) {}

TApplication::~TApplication()
{
    DestroyComponents();
    if (handle_)
        DestroyWindow(handle_);
}

void TApplication::Initialize()
{
    Handle();
}

HWND TApplication::Handle()
{
    if (handle_)
        return handle_;
    static bool registered = false;
    if (!registered) {
        WNDCLASSEXW windowClass = {};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = ApplicationWindowProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = ApplicationClassName;
        registered = RegisterClassExW(&windowClass) != 0;
    }
    // Never shown: it only carries the title for FindWindow.
    handle_ = CreateWindowExA(0, "TApplication", title_.c_str(), WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
    return handle_;
}

void TApplication::SetTitle(const std::string& title)
{
    title_ = title;
    SetWindowTextA(Handle(), title_.c_str());
}

void TApplication::SetMainForm(TForm* form)
{
    mainForm_ = form;
    form->MakeMainWindow();
}

void TApplication::Run()
{
    if (mainForm_ && !terminated_)
        mainForm_->Show();
    while (!terminated_)
        HandleMessage();
}

void TApplication::Terminate()
{
    terminated_ = true;
    PostQuitMessage(0);
}

void TApplication::DispatchOne(MSG& message)
{
    TranslateMessage(&message);
    DispatchMessageW(&message);
}

void TApplication::HandleMessage()
{
    MSG message;
    BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got == 0 || got == -1) {
        terminated_ = true;
        return;
    }
    DispatchOne(message);
}

void TApplication::ProcessMessages()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            terminated_ = true;
            PostQuitMessage(static_cast<int>(message.wParam));  // for the loops outside
            return;
        }
        DispatchOne(message);
    }
}

HWND TApplication::DialogOwner()
{
    if (mainForm_ && IsWindowVisible(mainForm_->Handle()))
        return mainForm_->Handle();
    return Handle();
}

void TApplication::ShowException(const Exception& exception)
{
    std::string text = exception.Message();
    if (!text.empty() && static_cast<unsigned char>(text.back()) > '.')
        text += '.';
    MessageBoxA(DialogOwner(), text.c_str(), title_.c_str(), MB_OK | MB_ICONERROR);
}

void TApplication::SetBiDiMode(TBiDiMode mode)
{
    if (mode == bidiMode_)
        return;
    bidiMode_ = mode;
    for (int i = 0; i < ComponentCount(); i++) {
        auto* form = dynamic_cast<TForm*>(Components(i));
        if (form && form->ParentBiDiMode())
            form->NotifyBiDiModeChanged();
    }
}

void ShowCurrentException()
{
    try {
        throw;
    } catch (const Exception& exception) {
        Application->ShowException(exception);
    } catch (...) {
        Application->ShowException(Exception());
    }
}
