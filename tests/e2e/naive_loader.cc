// Loads a DLL by its bare name through the standard search order, which begins
// at the program's own folder: the pattern a planted DLL exploits. The hijack
// scenario runs it beside the planted msi.dll to show that the planted DLL is
// picked up when a program loads msi.dll that way, so that the setup
// executable's not picking it up means something.
//
//   naive_loader NAME   prints "loaded PATH" and exits 0, or "not loaded" and 1.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: naive_loader NAME\n");
    return 2;
  }
  HMODULE module = LoadLibraryA(argv[1]);
  if (module == nullptr) {
    std::printf("not loaded\n");
    return 1;
  }
  char path[MAX_PATH + 1];
  DWORD length = GetModuleFileNameA(module, path, MAX_PATH);
  path[length < MAX_PATH ? length : MAX_PATH] = '\0';
  std::printf("loaded %s\n", path);
  FreeLibrary(module);
  return 0;
}
