// Text conversions of the host platform: UTF-16 to UTF-8 for the libraries and
// the file system of Linux, and Windows paths to the files they name here.
#ifndef PLATFORM_HOST_NATIVE_PATH_H
#define PLATFORM_HOST_NATIVE_PATH_H

#include <string>

namespace host {

// UTF-8 of a UTF-16 text ("" for null); unpaired surrogates become U+FFFD.
std::string ToUtf8(const char16_t* text);
// UTF-16 of a UTF-8 text ("" for null).
std::u16string FromUtf8(const char* text);

// The Linux path of a Windows path, as Wine's drive Z: maps the root: a drive
// prefix "X:" is dropped and every backslash becomes a slash, so that
// Z:\work\pkg\mivo.msi and \work\pkg\mivo.msi name /work/pkg/mivo.msi. A path
// without drive or backslash is taken as it stands.
std::string NativePath(const char16_t* windows_path);

}  // namespace host

#endif  // PLATFORM_HOST_NATIVE_PATH_H
