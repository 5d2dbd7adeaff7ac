#include "taskbar.h"

#include <propkey.h>
#include <propsys.h>
#include <shellapi.h>
#include <shobjidl.h>

#include <string>
#include <utility>

#include "app/form.h"

namespace fwdl::win32 {
namespace {

// From the build; the installer gives the Start-menu shortcut the same ID.
constexpr wchar_t kAppId[] = L"" FWDL_APP_ID;
constexpr WORD kIconId = 1;  // app/firmware-downloader.rc
// Where the main window keeps the window procedure it had before ours.
constexpr char kPreviousProc[] = "fwdl.PreviousWindowProc";

std::wstring ExePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) return path.substr(0, n);
    path.resize(path.size() * 2);  // cut short: a long path
  }
}

// Sets the window's shell properties, or takes them off with nullptr
// values. The relaunch properties come before the ID, which makes the task
// bar read them; a value is copied into the window's store at once.
void SetShellProperties(HWND window, const wchar_t* command, const wchar_t* icon,
                        const wchar_t* name, const wchar_t* id) {
  IPropertyStore* store = nullptr;
  if (FAILED(SHGetPropertyStoreForWindow(window, IID_PPV_ARGS(&store)))) return;  // the name is a nicety
  const std::pair<const PROPERTYKEY&, const wchar_t*> values[] = {
      {PKEY_AppUserModel_RelaunchCommand, command},
      {PKEY_AppUserModel_RelaunchIconResource, icon},
      {PKEY_AppUserModel_RelaunchDisplayNameResource, name},
      {PKEY_AppUserModel_ID, id}};
  for (const auto& [key, text] : values) {
    PROPVARIANT value{};
    if (text) {
      value.vt = VT_LPWSTR;
      value.pwszVal = const_cast<wchar_t*>(text);
    }
    (void)store->SetValue(key, value);  // VT_EMPTY removes the property
  }
  store->Release();
}

LRESULT CALLBACK ShellWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  const auto previous = reinterpret_cast<WNDPROC>(GetPropA(window, kPreviousProc));
  if (message == WM_DESTROY) SetShellProperties(window, nullptr, nullptr, nullptr, nullptr);
  if (message == WM_NCDESTROY) RemovePropA(window, kPreviousProc);
  return CallWindowProcA(previous, window, message, wparam, lparam);
}

void SetIcon(HWND window, WPARAM which, int width_metric, int height_metric) {
  // Shared: the system frees it with the module.
  const HANDLE icon =
      LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(kIconId), IMAGE_ICON,
                 GetSystemMetrics(width_metric), GetSystemMetrics(height_metric), LR_SHARED);
  if (icon) SendMessageA(window, WM_SETICON, which, reinterpret_cast<LPARAM>(icon));
}

}  // namespace

void JoinTaskbarButton() { (void)SetCurrentProcessExplicitAppUserModelID(kAppId); }

void PresentMainWindow(HWND window) {
  SetIcon(window, ICON_BIG, SM_CXICON, SM_CYICON);
  SetIcon(window, ICON_SMALL, SM_CXSMICON, SM_CYSMICON);

  // Our window procedure goes first, so that what is set is also taken off.
  const LONG_PTR previous = GetWindowLongPtrA(window, GWLP_WNDPROC);
  if (!SetPropA(window, kPreviousProc, reinterpret_cast<HANDLE>(previous))) return;
  SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ShellWindowProc));

  const std::wstring exe = ExePath();
  if (exe.empty()) return;
  const std::wstring command = L"\"" + exe + L"\"";
  const std::wstring icon = exe + L",-" + std::to_wstring(kIconId);
  const std::string title = form::main::kApplicationTitle;
  const std::wstring name(title.begin(), title.end());  // plain ASCII
  SetShellProperties(window, command.c_str(), icon.c_str(), name.c_str(), kAppId);
}

}  // namespace fwdl::win32
