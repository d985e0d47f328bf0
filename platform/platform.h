// The platform seam: every Windows and Windows Installer function that the
// program's logic calls, and the types they need, W names only. setup/, msiutil/
// and text/ reach the operating system through nothing else.
//
// On Windows the declarations are the SDK's. The Windows Installer functions are
// not imported from msi.dll: platform/windows binds them at run time from the
// system folder. On the host (Linux) the same names are declared here with a
// 16-bit code unit and implemented in platform/host: the text services as a
// replacement of the Windows behaviour, the database operations over libmsi, the
// installer service as a scriptable fake.
#ifndef PLATFORM_PLATFORM_H
#define PLATFORM_PLATFORM_H

#include <stdarg.h>
#include <stdint.h>

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// The SDK's generic text types and constants (LPCTSTR, MSIDBOPEN_READONLY) are
// those of UTF-16 text, as everywhere in the program.
#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#include <windows.h>
// The headers below need the types of windows.h.
#include <msi.h>
#include <msiquery.h>
#include <shlwapi.h>

// A text literal of UTF-16 units.
#define WTEXT(s) L##s

#else  // host

// A UTF-16 code unit. wchar_t is 32 bits on Linux and never carries text.
typedef char16_t WCHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef const char* LPCSTR;
typedef int BOOL;
typedef unsigned int UINT;
typedef uint32_t DWORD;
typedef uint32_t LCID;
typedef uint32_t MSIHANDLE;
typedef void* HINSTANCE;
typedef void* HMODULE;
typedef void* HWND;
typedef void* HANDLE;
typedef long LONG;
typedef unsigned short WORD;
typedef void* LPSECURITY_ATTRIBUTES;
typedef unsigned char BOOLEAN;

// The one class of SetFileInformationByHandle that the program uses, and its
// structure: a new name for the file of the handle, its length in bytes
// without the terminating NUL.
typedef enum _FILE_INFO_BY_HANDLE_CLASS { FileRenameInfo = 3 } FILE_INFO_BY_HANDLE_CLASS;
typedef struct _FILE_RENAME_INFO {
  BOOLEAN ReplaceIfExists;
  HANDLE RootDirectory;
  DWORD FileNameLength;
  WCHAR FileName[1];
} FILE_RENAME_INFO;

// The position of a byte-range lock (the only use of it on the host).
typedef struct _OVERLAPPED {
  uintptr_t Internal;
  uintptr_t InternalHigh;
  DWORD Offset;
  DWORD OffsetHigh;
  HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

// A time as Windows keeps it in the file system: 100-nanosecond intervals
// since 1601-01-01 UTC.
typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME;

// One entry of a folder as FindFirstFileW and FindNextFileW report it.
typedef struct _WIN32_FIND_DATAW {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  WCHAR cFileName[260];
  WCHAR cAlternateFileName[14];
} WIN32_FIND_DATAW;

typedef struct _SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
} SYSTEMTIME;

#define WINAPI
#define WTEXT(s) u##s

#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_WRITE_FAULT 29u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_LOCK_VIOLATION 33u
#define ERROR_NOT_LOCKED 158u
#define ERROR_HANDLE_EOF 38u
#define ERROR_NO_MORE_FILES 18u
#define ERROR_DISK_FULL 112u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_FILE_EXISTS 80u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_MORE_DATA 234u
#define ERROR_NO_MORE_ITEMS 259u
#define ERROR_OPEN_FAILED 110u
#define ERROR_BAD_QUERY_SYNTAX 1615u
#define ERROR_FUNCTION_FAILED 1627u
#define ERROR_UNKNOWN_PRODUCT 1605u
#define ERROR_UNKNOWN_PROPERTY 1608u
#define ERROR_INSTALL_PACKAGE_OPEN_FAILED 1619u
#define ERROR_INSTALL_PACKAGE_INVALID 1620u
#define ERROR_PRODUCT_VERSION 1638u
#define ERROR_INVALID_HANDLE_STATE 1609u
#define ERROR_INSTALL_ALREADY_RUNNING 1618u
#define ERROR_INSTALL_LOG_FAILURE 1622u
#define ERROR_INSTALL_SUSPEND 1604u
#define ERROR_SUCCESS_REBOOT_INITIATED 1641u
#define ERROR_SUCCESS_REBOOT_REQUIRED 3010u

#define MAX_PATH 260
#ifndef FALSE
#define FALSE 0
#endif
#ifndef TRUE
#define TRUE 1
#endif
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_READ_DATA 0x0001u
#define FILE_APPEND_DATA 0x0004u
#define LOCKFILE_FAIL_IMMEDIATELY 0x1u
#define LOCKFILE_EXCLUSIVE_LOCK 0x2u
#define FILE_SHARE_READ 0x1u
#define FILE_SHARE_WRITE 0x2u
#define FILE_SHARE_DELETE 0x4u
#define DELETE 0x00010000u
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define FILE_ATTRIBUTE_READONLY 0x1u
#define FILE_ATTRIBUTE_DIRECTORY 0x10u
#define FILE_ATTRIBUTE_NORMAL 0x80u
#define FILE_ATTRIBUTE_REPARSE_POINT 0x400u
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define FILE_FLAG_DELETE_ON_CLOSE 0x04000000u
#define FILE_BEGIN 0u
#define FILE_END 2u
#define INVALID_SET_FILE_POINTER ((DWORD)-1)
#define INVALID_FILE_SIZE ((DWORD)0xFFFFFFFF)
#define WAIT_OBJECT_0 0u
#define WAIT_ABANDONED 0x80u
#define WAIT_TIMEOUT 258u
#define WAIT_FAILED ((DWORD)0xFFFFFFFF)
#define INFINITE 0xFFFFFFFFu

#define MSI_NULL_INTEGER ((int)0x80000000)
#define MSIDBOPEN_READONLY ((LPCWSTR)0)
#define MSIDBOPEN_TRANSACT ((LPCWSTR)1)
#define MSIDBOPEN_DIRECT ((LPCWSTR)2)

typedef enum tagINSTALLUILEVEL {
  INSTALLUILEVEL_NOCHANGE = 0,
  INSTALLUILEVEL_DEFAULT = 1,
  INSTALLUILEVEL_NONE = 2,
  INSTALLUILEVEL_BASIC = 3,
  INSTALLUILEVEL_REDUCED = 4,
  INSTALLUILEVEL_FULL = 5,
  INSTALLUILEVEL_SOURCERESONLY = 0x100
} INSTALLUILEVEL;

typedef enum tagINSTALLSTATE {
  INSTALLSTATE_INVALIDARG = -2,
  INSTALLSTATE_UNKNOWN = -1,
  INSTALLSTATE_ADVERTISED = 1,
  INSTALLSTATE_ABSENT = 2,
  INSTALLSTATE_DEFAULT = 5
} INSTALLSTATE;

#define INSTALLLEVEL_DEFAULT 0
#define INSTALLLOGMODE_VERBOSE 0x1000

// Kernel services.
DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD capacity);
HMODULE GetModuleHandleW(LPCWSTR name);
LPWSTR GetCommandLineW();
LCID GetUserDefaultLCID();
DWORD ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR destination, DWORD capacity);
BOOL SetEnvironmentVariableW(LPCWSTR name, LPCWSTR value);
int lstrlenW(LPCWSTR text);
int lstrlenA(LPCSTR text);
void OutputDebugStringW(LPCWSTR text);
void DebugBreak();

// Kernel services: files, time, waiting and the lock between runs.
HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE template_file);
BOOL WriteFile(HANDLE file, const void* data, DWORD size, DWORD* written, LPOVERLAPPED overlapped);
BOOL ReadFile(HANDLE file, void* data, DWORD size, DWORD* read, LPOVERLAPPED overlapped);
DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distance_high, DWORD method);
BOOL SetEndOfFile(HANDLE file);
BOOL FlushFileBuffers(HANDLE file);
BOOL DeleteFileW(LPCWSTR path);
BOOL SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS info_class, void* info,
                                DWORD size);
BOOL LockFileEx(HANDLE file, DWORD flags, DWORD reserved, DWORD count_low, DWORD count_high,
                LPOVERLAPPED overlapped);
BOOL UnlockFileEx(HANDLE file, DWORD reserved, DWORD count_low, DWORD count_high,
                  LPOVERLAPPED overlapped);
DWORD GetFileSize(HANDLE file, DWORD* size_high);
DWORD GetFileAttributesW(LPCWSTR path);
HANDLE FindFirstFileW(LPCWSTR pattern, WIN32_FIND_DATAW* data);
BOOL FindNextFileW(HANDLE find, WIN32_FIND_DATAW* data);
BOOL FindClose(HANDLE find);
BOOL CloseHandle(HANDLE handle);
DWORD GetLastError();
void GetSystemTime(SYSTEMTIME* time);
DWORD GetCurrentProcessId();
DWORD GetTickCount();
void Sleep(DWORD milliseconds);
HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES security, BOOL initial_owner, LPCWSTR name);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL ReleaseMutex(HANDLE mutex);

// User-interface library text services.
int wvsprintfW(LPWSTR buffer, LPCWSTR format, va_list arguments);
LPWSTR CharNextW(LPCWSTR text);
int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int capacity);

// Shell path and number utilities.
LPWSTR PathAddBackslashW(LPWSTR path);
BOOL PathRemoveFileSpecW(LPWSTR path);
void PathUnquoteSpacesW(LPWSTR path);
BOOL PathAppendW(LPWSTR path, LPCWSTR more);
int StrToIntW(LPCWSTR text);
int wvnsprintfW(LPWSTR buffer, int capacity, LPCWSTR format, va_list arguments);

// Windows Installer: database, view and record.
UINT MsiOpenDatabaseW(LPCWSTR path, LPCWSTR persist, MSIHANDLE* database);
UINT MsiDatabaseOpenViewW(MSIHANDLE database, LPCWSTR query, MSIHANDLE* view);
UINT MsiViewExecute(MSIHANDLE view, MSIHANDLE parameters);
UINT MsiViewFetch(MSIHANDLE view, MSIHANDLE* record);
UINT MsiRecordDataSize(MSIHANDLE record, UINT field);
UINT MsiRecordGetStringW(MSIHANDLE record, UINT field, LPWSTR buffer, DWORD* capacity);
int MsiRecordGetInteger(MSIHANDLE record, UINT field);
MSIHANDLE MsiCreateRecord(UINT fields);
UINT MsiRecordSetStringW(MSIHANDLE record, UINT field, LPCWSTR value);
UINT MsiCloseHandle(MSIHANDLE handle);

// Windows Installer: products and actions.
INSTALLUILEVEL MsiSetInternalUI(INSTALLUILEVEL level, HWND* window);
UINT MsiEnableLogW(DWORD mode, LPCWSTR path, DWORD attributes);
INSTALLSTATE MsiQueryProductStateW(LPCWSTR product);
UINT MsiEnumRelatedProductsW(LPCWSTR upgrade_code, DWORD reserved, DWORD index, LPWSTR product);
UINT MsiGetProductInfoW(LPCWSTR product, LPCWSTR property, LPWSTR buffer, DWORD* capacity);
UINT MsiConfigureProductExW(LPCWSTR product, int level, INSTALLSTATE state, LPCWSTR properties);
UINT MsiInstallProductW(LPCWSTR package, LPCWSTR properties);

#endif  // host

#endif  // PLATFORM_PLATFORM_H
