// The launcher window on Windows: the window seam over the Win32 user
// interface and the shell (user32, shell32).
// Implemented:
//  [X] class "ZentharaLauncher", fixed frame (caption, system menu, minimise box)
//  [X] the shared size and position rule, AdjustWindowRect and the
//      client-size correction
//  [X] icons from icon group 1, big and small
//  [X] a window procedure whose cases only forward to the input handlers
//  [X] repaint requests and forced repaints from any thread (paint messages
//      that invalidate nothing: the canvas presents what changed), the quit
//      request, timers, cursors, focus, minimise, close
//  [X] the information box (MessageBoxW) and links (ShellExecuteW)
// Leaves out: drawing (the painter draws through the GDI canvas, which asks
// MainWindowHandle for the window), resizing, and failure handling beyond
// ending with exit code 1 when the class or the window cannot be made.
#include <windows.h>
#include <windowsx.h>
#include <mmsystem.h>
#include <shellapi.h>

#include "app/input.h"
#include "base/state.h"
#include "platform/window.h"
#include "render/layout.h"

static const wchar_t WindowClassName[] = L"ZentharaLauncher";
static const wchar_t WindowTitle[] = L"Zenthara Online";
static const DWORD WindowStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
static const int IconResource = 1;

// Everything this backend keeps. The window procedure runs on the
// user-interface thread; workers only read the handle, once it is set.
struct Win32WindowState {
    HWND window;  // the launcher window; set by WM_CREATE before any handler runs
};
static Win32WindowState s_window;

static LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        s_window.window = window;
        OnCreate();
        return 0;
    case WM_DESTROY: OnDestroy(); return 0;
    case WM_SIZE: OnSize(wParam == SIZE_MINIMIZED, LOWORD(lParam), HIWORD(lParam)); return 0;
    case WM_PAINT: OnPaint(); return 0;
    case WM_ERASEBKGND: return 1;
    case WM_SETCURSOR:
        if (LOWORD(lParam) == HTCLIENT && KeepsHotspotCursor()) return 1;
        return DefWindowProcW(window, message, wParam, lParam);
    case WM_KEYDOWN:
        if (OnKeyDown(int(wParam))) return 0;
        return DefWindowProcW(window, message, wParam, lParam);
    case WM_CHAR: OnChar(unsigned(wParam & 0xFFFF)); return 0;
    case WM_TIMER: OnTimer(int(wParam)); return 0;
    case WM_MOUSEMOVE: OnMouseMove(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)); return 0;
    case WM_LBUTTONDOWN: OnLeftButtonDown(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)); return 0;
    case MM_MCINOTIFY: OnMediaNotify(int(wParam)); return 0;
    default: return DefWindowProcW(window, message, wParam, lParam);
    }
}

static bool RegisterWindowClass(HINSTANCE instance) {
    WNDCLASSW windowClass;
    ZeroMemory(&windowClass, sizeof windowClass);
    windowClass.lpfnWndProc = WindowProcedure;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IconResource));
    if (windowClass.hIcon == nullptr) windowClass.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = WindowClassName;
    return RegisterClassW(&windowClass) != 0;
}

// Makes the client area exactly clientWidth x clientHeight when the frame
// the system drew differs from what AdjustWindowRect predicted.
static void CorrectClientSize(HWND window) {
    RECT client;
    GetClientRect(window, &client);
    if (client.right != g_state.clientWidth || client.bottom != g_state.clientHeight) {
        RECT outer;
        GetWindowRect(window, &outer);
        SetWindowPos(window, nullptr, 0, 0, (outer.right - outer.left) + (g_state.clientWidth - client.right),
                     (outer.bottom - outer.top) + (g_state.clientHeight - client.bottom),
                     SWP_NOMOVE | SWP_NOZORDER);
    }
    GetClientRect(window, &client);
    g_state.clientWidth = client.right;
    g_state.clientHeight = client.bottom;
}

static void SetWindowIcons(HWND window, HINSTANCE instance) {
    HANDLE big = LoadImageW(instance, MAKEINTRESOURCEW(IconResource), IMAGE_ICON, GetSystemMetrics(SM_CXICON),
                            GetSystemMetrics(SM_CYICON), 0);
    HANDLE small = LoadImageW(instance, MAKEINTRESOURCEW(IconResource), IMAGE_ICON,
                              GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0);
    if (big != nullptr) SendMessageW(window, WM_SETICON, ICON_BIG, LPARAM(big));
    if (small != nullptr) SendMessageW(window, WM_SETICON, ICON_SMALL, LPARAM(small));
}

int RunMainWindow(int showCommand) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    if (!RegisterWindowClass(instance)) return 1;

    int screenWidth = GetSystemMetrics(SM_CXSCREEN), screenHeight = GetSystemMetrics(SM_CYSCREEN);
    int clientWidth, clientHeight;
    ClientSizeForScreen(screenWidth, screenHeight, &clientWidth, &clientHeight);
    g_state.clientWidth = clientWidth;
    g_state.clientHeight = clientHeight;
    RECT outer = {0, 0, clientWidth, clientHeight};
    AdjustWindowRect(&outer, WindowStyle, FALSE);
    int outerWidth = outer.right - outer.left, outerHeight = outer.bottom - outer.top;
    int x, y;
    WindowPositionForScreen(screenWidth, screenHeight, outerWidth, outerHeight, &x, &y);
    HWND window = CreateWindowExW(0, WindowClassName, WindowTitle, WindowStyle, x, y, outerWidth, outerHeight,
                                  nullptr, nullptr, instance, nullptr);
    if (window == nullptr) return 1;
    CorrectClientSize(window);
    SetWindowIcons(window, instance);
    ShowWindow(window, showCommand);
    UpdateWindow(window);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}

// A paint is asked for without invalidating anything: the GDI canvas
// composes the whole frame and itself adds to the update region the parts
// that differ from what the window shows, so a tick in which only the
// particles moved sends only them. What the system invalidates (a part
// that was covered) stays in the region and is painted too.
void RequestRepaint() { RedrawWindow(s_window.window, nullptr, nullptr, RDW_INTERNALPAINT); }

void ForceRepaint() { RedrawWindow(s_window.window, nullptr, nullptr, RDW_INTERNALPAINT | RDW_UPDATENOW); }

void RequestQuit() { PostQuitMessage(0); }

void *MainWindowHandle() { return s_window.window; }

void PostMediaNotification(int code) { PostMessageW(s_window.window, MM_MCINOTIFY, WPARAM(code), 0); }

void SetPointerCursor(CursorShape shape) {
    const wchar_t *cursor = shape == CursorIBeam ? IDC_IBEAM : shape == CursorHand ? IDC_HAND : IDC_ARROW;
    SetCursor(LoadCursorW(nullptr, cursor));
}

void StartWindowTimer(int id, int periodMs) { SetTimer(s_window.window, UINT_PTR(id), UINT(periodMs), nullptr); }
void StopWindowTimer(int id) { KillTimer(s_window.window, UINT_PTR(id)); }
void FocusMainWindow() { SetFocus(s_window.window); }
void MinimizeMainWindow() { ShowWindow(s_window.window, SW_MINIMIZE); }
void CloseMainWindow() { PostMessageW(s_window.window, WM_CLOSE, 0, 0); }

void ShowInformationBox(const WideChar *text, const WideChar *caption) {
    MessageBoxW(s_window.window, text, caption, MB_OK | MB_ICONINFORMATION);
}

void OpenLink(const WideChar *url) { ShellExecuteW(nullptr, L"open", url, nullptr, nullptr, SW_SHOWNORMAL); }
