// Files and folders as mivocheck reads them: through the platform's kernel
// services, with paths in the form the system hands them over (UTF-16 on
// Windows, the host's bytes on the host), so that what is printed of a path is
// what was given.
#ifndef MIVOCHECK_FILES_H
#define MIVOCHECK_FILES_H

#include <string>

#include "platform/platform.h"

namespace mivocheck {

#ifdef _WIN32
using PathString = std::wstring;
#else
using PathString = std::string;
#endif

// The path as the platform's calls take it.
std::basic_string<WCHAR> PlatformPath(const PathString& path);

// `folder` and `name` joined by the system's separator (none after an empty
// folder, one that ends in a separator, or a Windows drive "X:").
PathString JoinPath(const PathString& folder, const PathString& name);

// The name of a folder entry as a path part.
PathString EntryName(const WIN32_FIND_DATAW& entry);

// True for a folder, or a link to one.
bool IsFolder(const PathString& path);

// The entries of one folder, "." and ".." left out, as the folder lists them;
// the search is closed when the owner goes.
class FolderEntries {
 public:
  explicit FolderEntries(const PathString& folder);
  ~FolderEntries();
  FolderEntries(const FolderEntries&) = delete;
  FolderEntries& operator=(const FolderEntries&) = delete;

  // The next entry; false at the end of the list or when the folder cannot
  // be listed (failed()).
  bool Next();
  const WIN32_FIND_DATAW& entry() const { return entry_; }
  bool IsFolderEntry() const { return (entry_.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
  // A link to a folder, which is not descended into.
  bool IsLinkEntry() const { return (entry_.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
  bool failed() const { return failed_; }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  WIN32_FIND_DATAW entry_ = {};
  bool pending_ = false;  // entry_ holds the first entry, not yet handed out
  bool failed_ = false;
};

}  // namespace mivocheck

#endif  // MIVOCHECK_FILES_H
