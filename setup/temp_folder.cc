#include "setup/temp_folder.h"

#include "setup/record_files.h"

namespace {

// The candidates, in order: an environment reference each.
const WCHAR* const kCandidates[] = {WTEXT("%TMP%"), WTEXT("%TEMP%"), WTEXT("%LOCALAPPDATA%\\Temp")};

bool IsDriveLetter(WCHAR c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool IsSeparator(WCHAR c) { return c == '\\' || c == '/'; }

// A drive letter, ":" and a separator ("\" or "/", which Windows takes alike),
// or "\\server\share" with a server and a share name.
bool IsFullPath(LPCWSTR path) {
  if (IsDriveLetter(path[0]) && path[1] == ':' && IsSeparator(path[2])) return true;
  if (path[0] != '\\' || path[1] != '\\') return false;
  LPCWSTR server = path + 2;
  LPCWSTR end = server;
  while (*end && *end != '\\') ++end;
  return end != server && *end && end[1] && end[1] != '\\';
}

// Whether the record can be opened in `folder`. An existing record is opened
// as a run opens it to append a line. Without one, a file of this process's own beside its name
// (MIVOSetup.log.<process id>) is created and deleted again on closing, so
// that no other run ever meets a file about to be deleted under the record's
// name. A record that another process holds is there: the folder is fine.
TempRefusal Probe(const CString& folder) {
  CString path;
  if (!path.Format(kRunRecordPathFormat, folder.GetString())) return kTempNoRecord;
  HANDLE file = CreateFileW(path, kRunRecordAccess, kRunRecordShare, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD error = GetLastError();
  if (file == INVALID_HANDLE_VALUE && error == ERROR_FILE_NOT_FOUND) {
    if (!path.Format(WTEXT("%s.%u"), path.GetString(), GetCurrentProcessId())) {
      return kTempNoRecord;
    }
    file = CreateFileW(path, kRunRecordAccess | DELETE, kRunRecordShare, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    error = GetLastError();
  }
  if (file != INVALID_HANDLE_VALUE) {
    CloseHandle(file);
    return kTempUsable;
  }
  if (error == ERROR_SHARING_VIOLATION || error == ERROR_FILE_EXISTS) return kTempUsable;
  return error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_NOT_FOUND ? kTempNoFolder
                                                                        : kTempNoRecord;
}

}  // namespace

TempRefusal TempCandidate(TempSource source, CString& folder) {
  LPCWSTR reference = kCandidates[source];
  folder = reference;
  // Only the reference is expanded; its value is never expanded again.
  if (!ExpandEnvironment(folder) || TextEquals(folder, reference)) folder = nullptr;
  if (folder.IsEmpty()) return kTempNotSet;
  if (!IsFullPath(folder)) return kTempNotFullPath;
  int length = folder.GetLength();
  while (IsSeparator(folder.GetString()[length - 1])) --length;
  folder = folder.Substring(0, length);
  return kTempUsable;
}

namespace {

// The folder of one candidate, trailing separators dropped, and whether it
// is usable.
TempRefusal Candidate(int source, CString& folder) {
  const TempRefusal refusal = TempCandidate(static_cast<TempSource>(source), folder);
  return refusal == kTempUsable ? Probe(folder) : refusal;
}

}  // namespace

TempChoice ChooseTempFolder() {
  TempChoice choice;
  choice.source = kTempFromNone;
  choice.tmp_refusal = Candidate(0, choice.tmp_folder);
  for (int i = 0; i < 3; ++i) {
    CString folder;
    TempRefusal refusal = i == 0 ? choice.tmp_refusal : Candidate(i, folder);
    if (refusal == kTempUsable) {
      choice.folder = i == 0 ? choice.tmp_folder : folder;
      choice.source = static_cast<TempSource>(i);
      break;
    }
  }
  return choice;
}

CString TempFolder() { return ChooseTempFolder().folder; }

const char* TempRefusalText(TempRefusal refusal) {
  static const char* const kTexts[] = {"", "is not set", "is not a full path",
                                       "is not an existing folder", "cannot hold the record"};
  return kTexts[refusal];
}

const char* TempSourceText(TempSource source) {
  // The last, empty, text stands for no folder.
  static const char* const kTexts[] = {"%TMP%", "%TEMP%", "%LOCALAPPDATA%\\Temp", ""};
  return kTexts[source];
}
