// Vantel.exe: the USB firmware downloader's Windows application.
#include <windows.h>

#include "platform/win32/vantel_app.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    vantel::win32::CVantelApp app(instance);
    return app.run();
}
