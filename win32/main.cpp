// kestrin-drawer on Windows: the drawer window over the vendor's
// KestrinPOS_USB.dll, which is looked for beside the program and in
// System32 only, never in the working directory or on PATH.

#include "drawer/vendordrawerlibrary.h"
#include "mainform.h"
#include "messageloop.h"
#include "programend.h"

#include <windows.h>

#include <commctrl.h>

#include <exception>

namespace {

int run(int showCommand)
{
    INITCOMMONCONTROLSEX controls {sizeof controls, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    VendorDrawerLibrary library;
    MainForm form(library);
    form.show(showCommand);
    return MessageLoop::run(form.window(), form.accelerators(), [] { return false; });
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int showCommand)
{
    try {
        return run(showCommand);
    } catch (const std::exception &error) {
        ProgramEnd::endWithError(error.what());
    } catch (...) {
        ProgramEnd::endWithError("An unknown error ended the program.");
    }
}
