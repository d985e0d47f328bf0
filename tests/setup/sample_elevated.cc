// A program whose manifest asks for elevation: the manifest check must refuse it.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) { return 0; }
