// A program that imports msi.dll statically: the import check must refuse it.
#include <windows.h>
// After windows.h, which it needs.
#include <msi.h>

int main() { return static_cast<int>(MsiCloseHandle(0)); }
