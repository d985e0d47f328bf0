// Host replacements of the kernel services behind the run record, the waits
// and the lock between runs. They promise to match Windows in:
//
// - CreateFileW, WriteFile, ReadFile, SetFilePointer, SetEndOfFile,
//   GetFileSize, CloseHandle on files: Windows paths name host files as the
//   database layer maps them (NativePath); OPEN_ALWAYS creates a missing file
//   but no missing folder; CREATE_NEW fails with ERROR_FILE_EXISTS for an
//   existing file; a missing file is ERROR_FILE_NOT_FOUND in an existing
//   folder and ERROR_PATH_NOT_FOUND in a missing one; a file opened with
//   FILE_FLAG_DELETE_ON_CLOSE is deleted when its handle is closed; a file
//   in a folder that denies writes (DenyWritesIn) cannot be created or opened
//   for writing: ERROR_ACCESS_DENIED; a file whose reads are denied
//   (DenyReadsOf) cannot be opened for reading. A handle opened for
//   FILE_APPEND_DATA alone writes at the end of the file whatever else writes
//   to it. Sharing of delete access is checked between all handles of all
//   processes: a handle with DELETE access cannot be opened while another
//   handle of the file does not share delete, nor one that does not share
//   delete while a handle with DELETE access is open (ERROR_SHARING_VIOLATION
//   both). Sharing of reads and writes is not checked, except for a path that
//   a test holds without sharing (HoldFileWithoutSharing): opening it fails
//   with ERROR_SHARING_VIOLATION. FILE_READ_DATA reads as GENERIC_READ does.
//   DeleteFileW removes the file; FlushFileBuffers needs write access, as on
//   Windows.
// - SetFileInformationByHandle, FileRenameInfo with a full path (a drive, no
//   RootDirectory; Windows takes a relative one in the process's current
//   folder, which the host refuses): renames the file of the handle, wherever
//   it is now in the folder it was opened in, which needs DELETE access (else
//   ERROR_ACCESS_DENIED). An
//   existing file of the new name is replaced only with ReplaceIfExists (else
//   ERROR_ALREADY_EXISTS), also while it is open: this is the newer Windows
//   rename that replaces open files, never the older one that refuses them,
//   so that a test meets the worse of the two for a handle still open on the
//   replaced file. A file that is no longer in its folder cannot be renamed
//   (ERROR_ACCESS_DENIED).
// - LockFileEx and UnlockFileEx: real locks between processes and between
//   handles of one process (open file description locks), so that tests can
//   run several processes against one file. As on Windows, a handle cannot
//   lock a range that overlaps one it holds (ERROR_LOCK_VIOLATION), an unlock
//   must name exactly a range the handle holds (ERROR_NOT_LOCKED), and the
//   system releases a handle's locks when it is closed or its process ends.
//   Unlike Windows the locks are advisory: reads and writes of locked bytes by
//   others are not refused (the program locks only bytes beyond any data).
// - BeforeFileOpen runs a test's action once, just before CreateFileW opens a
//   path: what another process does to the file meanwhile.
// - GetTickCount and Sleep run on a clock of their own: Sleep returns at once
//   and moves the clock on, so that tests of waits take no time; with
//   UseRealClock they are the system's, for tests of several processes.
// - ExitAtFileCall ends the process at a chosen call that changes files
//   (CreateFileW, WriteFile after half its bytes, FlushFileBuffers,
//   SetEndOfFile, DeleteFileW), as a power loss or a killed run would.
//   GetCurrentProcessId is the host process's id unless a test chose one, so
//   that the seed of the waits' random part can be fixed.
// - CreateMutexW, WaitForSingleObject and ReleaseMutex: named mutexes that this
//   process owns or waits for; another process's hold is scripted with
//   HoldMutexElsewhere. A wait that times out moves the clock on by its
//   timeout; a wait for a hold that ends within the timeout moves it to the end
//   of the hold. A hold whose holder died is handed over as WAIT_ABANDONED.
// - GetFileAttributesW, FindFirstFileW, FindNextFileW and FindClose: a
//   symbolic link is reported itself, not followed, as Windows reports one:
//   FILE_ATTRIBUTE_REPARSE_POINT, with FILE_ATTRIBUTE_DIRECTORY when it
//   points to a folder. Other files are FILE_ATTRIBUTE_NORMAL, or
//   FILE_ATTRIBUTE_READONLY without write permission. A missing file is
//   ERROR_FILE_NOT_FOUND in an existing folder and ERROR_PATH_NOT_FOUND in a
//   missing one. A search lists every entry of one folder, "." and ".."
//   included, in the order the file system lists them; the only pattern the
//   host knows is "FOLDER\*" (or "*" for the current folder): any other is
//   ERROR_INVALID_PARAMETER. A name is UTF-16 of the host's UTF-8 name.
//   The end of the list is ERROR_NO_MORE_FILES; a search handle is closed by
//   FindClose and nothing else (CloseHandle: ERROR_INVALID_HANDLE), and
//   counts as an open handle (OpenKernelHandleCount).
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/host/host_control.h"
#include "platform/host/native_path.h"
#include "platform/host/process_state.h"
#include "platform/platform.h"
#include "platform/utf8.h"

namespace host {
namespace {

struct KernelObject {
  enum Kind { kFile, kMutex, kFind } kind;
  DIR* dir = nullptr;  // kFind
  std::string folder;  // kFind: the host folder it lists, ending in "/"
  int fd = -1;         // kFile
  bool writable = false;
  bool delete_access = false;
  std::string path;   // kFile: the host path it was opened by
  int share_fd = -1;  // kFile: holds the locks that tell other handles its sharing of delete
  std::string delete_on_close;  // kFile: the file to delete when the handle is closed
  std::vector<std::pair<unsigned long long, unsigned long long>> locks;  // [start, end)
  std::u16string name;                                                   // kMutex
};

struct MutexState {
  int owned = 0;                // recursion count of this process's ownership
  bool held_elsewhere = false;  // another process holds it
  DWORD released_at = 0;        // when that hold ends (tick count)
  bool forever = false;         // the other holder never releases it
  bool abandoned = false;       // the other holder dies instead of releasing it
};

struct KernelState {
  std::set<KernelObject*> objects;
  std::map<std::u16string, MutexState> mutexes;
  std::set<std::string> unshared_files;
  std::set<std::string> write_denied_folders;
  std::set<std::string> read_denied_files;
  std::map<std::string, std::function<void()>> before_open;  // BeforeFileOpen
  bool fail_writes = false;
  DWORD ticks = 1000000;
  std::vector<DWORD> sleeps;
  DWORD process_id = 0;
  bool real_clock = false;
  int exit_at_call = 0;  // ExitAtFileCall
  int file_calls = 0;
};

KernelState& State() {
  static KernelState* state = new KernelState();
  return *state;
}

thread_local DWORD g_last_error = 0;

KernelObject* Find(HANDLE handle, KernelObject::Kind kind) {
  KernelObject* object = static_cast<KernelObject*>(handle);
  if (!State().objects.count(object) || object->kind != kind) return nullptr;
  return object;
}

DWORD ErrorOf(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
      return ERROR_ACCESS_DENIED;
    case ENOSPC:
      return ERROR_DISK_FULL;
    default:
      return ERROR_WRITE_FAULT;
  }
}

// Counts a call that changes files; true when the process is to end at it.
bool EndsHere() { return State().exit_at_call > 0 && ++State().file_calls == State().exit_at_call; }

// The bytes whose shared locks tell every other handle of a file how a handle
// shares delete access: one is held by each handle that does not share it,
// one by each handle with DELETE access. The program never locks them.
const off_t kNoDeleteSharingByte = (1ll << 62) + (1ll << 61);
const off_t kDeleteAccessByte = kNoDeleteSharingByte + 1;

// The bytes [start, end), locked as `type`.
struct flock LockRange(short type, unsigned long long start, unsigned long long end) {
  struct flock range = {};
  range.l_type = type;
  range.l_whence = SEEK_SET;
  range.l_start = static_cast<off_t>(start);
  range.l_len = static_cast<off_t>(end - start);
  return range;
}

bool SetLock(int fd, short type, unsigned long long start, unsigned long long end, bool wait) {
  struct flock range = LockRange(type, start, end);
  return fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &range) == 0;
}

// Whether a handle other than those of `fd` holds a lock on `byte`.
bool HeldElsewhere(int fd, off_t byte) {
  struct flock range = LockRange(F_WRLCK, byte, byte + 1);
  return fcntl(fd, F_OFD_GETLK, &range) == 0 && range.l_type != F_UNLCK;
}

bool HoldShared(int fd, off_t byte) { return SetLock(fd, F_RDLCK, byte, byte + 1, false); }

bool IsDue(const MutexState& state) {
  return !state.held_elsewhere || (!state.forever && state.released_at <= State().ticks);
}

}  // namespace

void HoldFileWithoutSharing(const std::u16string& path, bool hold) {
  std::string native = NativePath(path.c_str());
  if (hold) {
    State().unshared_files.insert(native);
  } else {
    State().unshared_files.erase(native);
  }
}

void DenyWritesIn(const std::u16string& folder, bool deny) {
  std::string native = NativePath(folder.c_str());
  while (native.size() > 1 && native.back() == '/') native.pop_back();
  if (deny) {
    State().write_denied_folders.insert(native);
  } else {
    State().write_denied_folders.erase(native);
  }
}

bool WritesDeniedFor(const std::string& native_file) {
  size_t slash = native_file.rfind('/');
  std::string folder = slash == std::string::npos ? "."
                       : slash == 0               ? "/"
                                                  : native_file.substr(0, slash);
  return State().write_denied_folders.count(folder) != 0;
}

void DenyReadsOf(const std::u16string& path, bool deny) {
  std::string native = NativePath(path.c_str());
  if (deny) {
    State().read_denied_files.insert(native);
  } else {
    State().read_denied_files.erase(native);
  }
}

void BeforeFileOpen(const std::u16string& path, std::function<void()> action) {
  State().before_open[NativePath(path.c_str())] = std::move(action);
}

void SetFileWriteFailure(bool fail) { State().fail_writes = fail; }

void SetTickCount(DWORD ticks) { State().ticks = ticks; }

void UseRealClock() { State().real_clock = true; }

void ExitAtFileCall(int call) {
  State().exit_at_call = call;
  State().file_calls = 0;
}

const std::vector<DWORD>& Sleeps() { return State().sleeps; }

void SetProcessId(DWORD process_id) { State().process_id = process_id; }

void HoldMutexElsewhere(const std::u16string& name, DWORD milliseconds, bool abandoned) {
  MutexState& state = State().mutexes[name];
  state.held_elsewhere = true;
  state.forever = milliseconds == INFINITE;
  state.released_at = State().ticks + (state.forever ? 0 : milliseconds);
  state.abandoned = abandoned;
}

bool MutexOwned(const std::u16string& name) {
  auto found = State().mutexes.find(name);
  return found != State().mutexes.end() && found->second.owned > 0;
}

int OpenKernelHandleCount() { return static_cast<int>(State().objects.size()); }

void ResetKernel() {
  KernelState& state = State();
  for (KernelObject* object : state.objects) {
    if (object->kind == KernelObject::kFile) {
      close(object->fd);
      if (object->share_fd >= 0) close(object->share_fd);
    }
    if (object->kind == KernelObject::kFind) closedir(object->dir);
    delete object;
  }
  state = KernelState();
}

}  // namespace host

using host::KernelObject;

DWORD GetLastError() { return host::g_last_error; }

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE template_file) {
  (void)share;
  (void)security;
  (void)template_file;
  if (!path || !*path) {
    host::g_last_error = ERROR_PATH_NOT_FOUND;
    return INVALID_HANDLE_VALUE;
  }
  if (host::EndsHere()) _exit(0);
  std::string native = host::NativePath(path);
  auto before = host::State().before_open.find(native);
  if (before != host::State().before_open.end()) {
    const std::function<void()> action = std::move(before->second);
    host::State().before_open.erase(before);
    action();
  }
  if (host::State().unshared_files.count(native)) {
    host::g_last_error = ERROR_SHARING_VIOLATION;
    return INVALID_HANDLE_VALUE;
  }
  bool read = (access & (GENERIC_READ | FILE_READ_DATA)) != 0;
  if (read && host::State().read_denied_files.count(native)) {
    host::g_last_error = ERROR_ACCESS_DENIED;
    return INVALID_HANDLE_VALUE;
  }
  bool write = (access & GENERIC_WRITE) != 0;
  bool append = (access & FILE_APPEND_DATA) != 0 && !write;
  size_t slash = native.rfind('/');
  std::string folder = slash == std::string::npos ? "."
                       : slash == 0               ? "/"
                                                  : native.substr(0, slash);
  if ((write || append || disposition != OPEN_EXISTING) &&
      host::State().write_denied_folders.count(folder)) {
    host::g_last_error = ERROR_ACCESS_DENIED;
    return INVALID_HANDLE_VALUE;
  }
  int mode = read && (write || append) ? O_RDWR : (write || append) ? O_WRONLY : O_RDONLY;
  if (append) mode |= O_APPEND;
  if (disposition == OPEN_ALWAYS) mode |= O_CREAT;
  if (disposition == CREATE_ALWAYS) mode |= O_CREAT | O_TRUNC;
  if (disposition == CREATE_NEW) mode |= O_CREAT | O_EXCL;
  int fd = open(native.c_str(), mode | O_CLOEXEC, 0644);
  if (fd < 0) {
    struct stat info;
    if (errno == EEXIST) {
      host::g_last_error = ERROR_FILE_EXISTS;
    } else if (errno == ENOENT && stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
      host::g_last_error = ERROR_FILE_NOT_FOUND;
    } else {
      host::g_last_error = host::ErrorOf(errno);
    }
    return INVALID_HANDLE_VALUE;
  }
  // Delete access and its sharing, checked against every other handle.
  const bool delete_access = (access & DELETE) != 0;
  const bool shares_delete = (share & FILE_SHARE_DELETE) != 0;
  // A second open file description of the same file, for the sharing locks:
  // opened through the handle's own descriptor, since the name may already
  // lead to another file (Windows opens a file and checks its sharing at once).
  const std::string own_fd = "/proc/self/fd/" + std::to_string(fd);
  int share_fd = open(own_fd.c_str(), O_RDONLY | O_CLOEXEC);
  if (share_fd < 0 ||
      (delete_access && host::HeldElsewhere(share_fd, host::kNoDeleteSharingByte)) ||
      (!shares_delete && host::HeldElsewhere(share_fd, host::kDeleteAccessByte)) ||
      (delete_access && !host::HoldShared(share_fd, host::kDeleteAccessByte)) ||
      (!shares_delete && !host::HoldShared(share_fd, host::kNoDeleteSharingByte))) {
    if (share_fd >= 0) close(share_fd);
    close(fd);
    host::g_last_error = ERROR_SHARING_VIOLATION;
    return INVALID_HANDLE_VALUE;
  }
  KernelObject* object = new KernelObject{KernelObject::kFile};
  object->fd = fd;
  object->share_fd = share_fd;
  object->path = native;
  object->delete_access = delete_access;
  if (flags & FILE_FLAG_DELETE_ON_CLOSE) object->delete_on_close = native;
  object->writable = write || append;
  host::State().objects.insert(object);
  host::g_last_error = 0;
  return object;
}

BOOL WriteFile(HANDLE file, const void* data, DWORD size, DWORD* written, LPOVERLAPPED overlapped) {
  (void)overlapped;
  if (written) *written = 0;
  KernelObject* object = host::Find(file, KernelObject::kFile);
  if (!object) {
    host::g_last_error = ERROR_INVALID_HANDLE;
    return 0;
  }
  if (host::State().fail_writes) {
    host::g_last_error = ERROR_DISK_FULL;
    return 0;
  }
  if (host::EndsHere()) {
    // The process ends in the middle of the write.
    if (write(object->fd, data, size / 2) < 0) _exit(0);
    _exit(0);
  }
  ssize_t n = write(object->fd, data, size);
  if (n < 0) {
    host::g_last_error = host::ErrorOf(errno);
    return 0;
  }
  if (written) *written = static_cast<DWORD>(n);
  return 1;
}

BOOL ReadFile(HANDLE file, void* data, DWORD size, DWORD* read_count, LPOVERLAPPED overlapped) {
  (void)overlapped;
  if (read_count) *read_count = 0;
  KernelObject* object = host::Find(file, KernelObject::kFile);
  if (!object) {
    host::g_last_error = ERROR_INVALID_HANDLE;
    return 0;
  }
  ssize_t n = read(object->fd, data, size);
  if (n < 0) {
    host::g_last_error = host::ErrorOf(errno);
    return 0;
  }
  if (read_count) *read_count = static_cast<DWORD>(n);
  return 1;
}

DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distance_high, DWORD method) {
  KernelObject* object = host::Find(file, KernelObject::kFile);
  if (!object) {
    host::g_last_error = ERROR_INVALID_HANDLE;
    return INVALID_SET_FILE_POINTER;
  }
  // The two halves of a 64-bit distance, as the caller splits it.
  long long offset =
      distance_high
          ? static_cast<long long>(
                (static_cast<unsigned long long>(static_cast<DWORD>(*distance_high)) << 32) |
                static_cast<DWORD>(distance))
          : distance;
  off_t position = lseek(object->fd, offset, method == FILE_END ? SEEK_END : SEEK_SET);
  if (position < 0) {
    host::g_last_error = ERROR_INVALID_PARAMETER;
    return INVALID_SET_FILE_POINTER;
  }
  if (distance_high) *distance_high = static_cast<LONG>(position >> 32);
  host::g_last_error = 0;
  return static_cast<DWORD>(position);
}

BOOL SetEndOfFile(HANDLE file) {
  KernelObject* object = host::Find(file, KernelObject::kFile);
  if (!object) return 0;
  if (host::EndsHere()) _exit(0);
  off_t position = lseek(object->fd, 0, SEEK_CUR);
  return position >= 0 && ftruncate(object->fd, position) == 0;
}

BOOL FlushFileBuffers(HANDLE file) {
  KernelObject* object = host::Find(file, KernelObject::kFile);
  if (!object || !object->writable) {
    host::g_last_error = object ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE;
    return 0;
  }
  if (host::EndsHere()) _exit(0);
  if (fsync(object->fd) != 0) {
    host::g_last_error = host::ErrorOf(errno);
    return 0;
  }
  return 1;
}

BOOL DeleteFileW(LPCWSTR path) {
  if (host::EndsHere()) _exit(0);
  if (!path || !*path || unlink(host::NativePath(path).c_str()) != 0) {
    host::g_last_error = path && *path ? host::ErrorOf(errno) : ERROR_PATH_NOT_FOUND;
    if (errno == ENOENT) host::g_last_error = ERROR_FILE_NOT_FOUND;
    return 0;
  }
  return 1;
}

BOOL SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS info_class, void* info,
                                DWORD size) {
  KernelObject* object = host::Find(file, KernelObject::kFile);
  const FILE_RENAME_INFO* rename_info = static_cast<const FILE_RENAME_INFO*>(info);
  if (!object) {
    host::g_last_error = ERROR_INVALID_HANDLE;
    return 0;
  }
  const size_t name_offset = offsetof(FILE_RENAME_INFO, FileName);
  if (info_class != FileRenameInfo || !info || size < name_offset || rename_info->RootDirectory ||
      rename_info->FileNameLength % 2 != 0 || rename_info->FileNameLength == 0 ||
      size - name_offset < rename_info->FileNameLength) {
    host::g_last_error = ERROR_INVALID_PARAMETER;
    return 0;
  }
  // A full path: a name alone is one in the process's current folder.
  const std::u16string name(rename_info->FileName, rename_info->FileNameLength / 2);
  if (name.size() < 3 || name[1] != ':' || name[2] != '\\' ||
      name.find(u'\0') != std::u16string::npos) {
    host::g_last_error = ERROR_INVALID_PARAMETER;
    return 0;
  }
  if (!object->delete_access) {
    host::g_last_error = ERROR_ACCESS_DENIED;
    return 0;
  }
  if (host::EndsHere()) _exit(0);
  // The handle's file where it is now: by the name it was opened by, or by
  // another name in the same folder that another handle gave it.
  const size_t slash = object->path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : object->path.substr(0, slash + 1);
  struct stat own, found;
  if (fstat(object->fd, &own) != 0) {
    host::g_last_error = ERROR_ACCESS_DENIED;
    return 0;
  }
  // Windows renames the handle's file itself, at once. Here the file is found
  // by name and then renamed by name, so the renames of the folder's files are
  // made one at a time between processes: else another process could move
  // the file between the two, and the name would then lead to another file.
  const int folder_fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder_fd < 0 || flock(folder_fd, LOCK_EX) != 0) {
    if (folder_fd >= 0) close(folder_fd);
    host::g_last_error = ERROR_ACCESS_DENIED;
    return 0;
  }
  struct FolderLock {
    int fd;
    ~FolderLock() { close(fd); }  // closing releases the lock
  } folder_lock{folder_fd};
  std::string from;
  if (stat(object->path.c_str(), &found) == 0 && found.st_ino == own.st_ino &&
      found.st_dev == own.st_dev) {
    from = object->path;
  } else if (DIR* entries = opendir(folder.c_str())) {
    while (dirent* entry = readdir(entries)) {
      const std::string candidate = folder + entry->d_name;
      if (entry->d_ino == own.st_ino && lstat(candidate.c_str(), &found) == 0 &&
          found.st_ino == own.st_ino && found.st_dev == own.st_dev) {
        from = candidate;
        break;
      }
    }
    closedir(entries);
  }
  if (from.empty()) {
    host::g_last_error = ERROR_ACCESS_DENIED;
    return 0;
  }
  const std::string to = host::NativePath(name.c_str());
  if (lstat(to.c_str(), &found) == 0) {
    if (found.st_ino == own.st_ino && found.st_dev == own.st_dev) return 1;
    if (!rename_info->ReplaceIfExists) {
      host::g_last_error = ERROR_ALREADY_EXISTS;
      return 0;
    }
    if (S_ISDIR(found.st_mode)) {
      host::g_last_error = ERROR_ACCESS_DENIED;
      return 0;
    }
  }
  if (host::WritesDeniedFor(to) || rename(from.c_str(), to.c_str()) != 0) {
    host::g_last_error = ERROR_ACCESS_DENIED;
    return 0;
  }
  object->path = to;
  return 1;
}

namespace {

// The file of a lock call and its range [start, end); null, with the error
// set, for a handle that is no file, a reserved value that is not 0, no
// OVERLAPPED or an empty range, all of which Windows refuses.
KernelObject* LockTarget(HANDLE file, DWORD reserved, LPOVERLAPPED at, DWORD count_low,
                         DWORD count_high, unsigned long long* start, unsigned long long* end) {
  KernelObject* object = host::Find(file, KernelObject::kFile);
  if (!object || reserved != 0 || !at) {
    host::g_last_error = object ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE;
    return nullptr;
  }
  const unsigned long long count = static_cast<unsigned long long>(count_high) << 32 | count_low;
  *start = static_cast<unsigned long long>(at->OffsetHigh) << 32 | at->Offset;
  *end = *start + count;
  if (count == 0 || *end <= *start || *end > (1ull << 63)) {
    host::g_last_error = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  return object;
}

}  // namespace

BOOL LockFileEx(HANDLE file, DWORD flags, DWORD reserved, DWORD count_low, DWORD count_high,
                LPOVERLAPPED overlapped) {
  unsigned long long start = 0, end = 0;
  KernelObject* object =
      LockTarget(file, reserved, overlapped, count_low, count_high, &start, &end);
  if (!object) return 0;
  for (const auto& held : object->locks) {
    if (held.first < end && start < held.second) {
      host::g_last_error = ERROR_LOCK_VIOLATION;
      return 0;
    }
  }
  const bool exclusive = (flags & LOCKFILE_EXCLUSIVE_LOCK) != 0;
  if (!host::SetLock(object->fd, exclusive ? F_WRLCK : F_RDLCK, start, end,
                     (flags & LOCKFILE_FAIL_IMMEDIATELY) == 0)) {
    host::g_last_error =
        errno == EAGAIN || errno == EACCES ? ERROR_LOCK_VIOLATION : ERROR_ACCESS_DENIED;
    return 0;
  }
  object->locks.emplace_back(start, end);
  return 1;
}

BOOL UnlockFileEx(HANDLE file, DWORD reserved, DWORD count_low, DWORD count_high,
                  LPOVERLAPPED overlapped) {
  unsigned long long start = 0, end = 0;
  KernelObject* object =
      LockTarget(file, reserved, overlapped, count_low, count_high, &start, &end);
  if (!object) return 0;
  for (auto held = object->locks.begin(); held != object->locks.end(); ++held) {
    if (held->first == start && held->second == end) {
      object->locks.erase(held);
      host::SetLock(object->fd, F_UNLCK, start, end, false);
      return 1;
    }
  }
  host::g_last_error = ERROR_NOT_LOCKED;
  return 0;
}

DWORD GetFileSize(HANDLE file, DWORD* size_high) {
  KernelObject* object = host::Find(file, KernelObject::kFile);
  struct stat info;
  if (!object || fstat(object->fd, &info) != 0) return INVALID_FILE_SIZE;
  if (size_high)
    *size_high = static_cast<DWORD>(static_cast<unsigned long long>(info.st_size) >> 32);
  return static_cast<DWORD>(info.st_size);
}

BOOL CloseHandle(HANDLE handle) {
  KernelObject* object = static_cast<KernelObject*>(handle);
  // A search is closed by FindClose only.
  if (host::Find(handle, KernelObject::kFind) || !host::State().objects.erase(object)) {
    host::g_last_error = ERROR_INVALID_HANDLE;
    return 0;
  }
  if (object->kind == KernelObject::kFile) {
    close(object->fd);
    close(object->share_fd);
    if (!object->delete_on_close.empty()) unlink(object->delete_on_close.c_str());
  }
  delete object;
  return 1;
}

void GetSystemTime(SYSTEMTIME* time_out) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm utc;
  gmtime_r(&now.tv_sec, &utc);
  time_out->wYear = static_cast<WORD>(utc.tm_year + 1900);
  time_out->wMonth = static_cast<WORD>(utc.tm_mon + 1);
  time_out->wDayOfWeek = static_cast<WORD>(utc.tm_wday);
  time_out->wDay = static_cast<WORD>(utc.tm_mday);
  time_out->wHour = static_cast<WORD>(utc.tm_hour);
  time_out->wMinute = static_cast<WORD>(utc.tm_min);
  time_out->wSecond = static_cast<WORD>(utc.tm_sec);
  time_out->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000);
}

DWORD GetCurrentProcessId() {
  DWORD chosen = host::State().process_id;
  return chosen ? chosen : static_cast<DWORD>(getpid());
}

DWORD GetTickCount() {
  if (!host::State().real_clock) return host::State().ticks;
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<DWORD>(now.tv_sec * 1000 + now.tv_nsec / 1000000);
}

void Sleep(DWORD milliseconds) {
  if (host::State().real_clock) {
    struct timespec pause = {static_cast<time_t>(milliseconds / 1000),
                             static_cast<long>(milliseconds % 1000) * 1000000};
    nanosleep(&pause, nullptr);
    return;
  }
  host::State().sleeps.push_back(milliseconds);
  host::State().ticks += milliseconds;
}

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES security, BOOL initial_owner, LPCWSTR name) {
  (void)security;
  if (!name || initial_owner) {
    // The program only ever opens a named mutex without owning it at once.
    host::g_last_error = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  KernelObject* object = new KernelObject{KernelObject::kMutex};
  object->name = name;
  bool exists = host::State().mutexes.count(object->name) != 0;
  host::State().mutexes[object->name];
  host::State().objects.insert(object);
  host::g_last_error = exists ? ERROR_ALREADY_EXISTS : 0;
  return object;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  KernelObject* object = host::Find(handle, KernelObject::kMutex);
  if (!object) {
    host::g_last_error = ERROR_INVALID_HANDLE;
    return WAIT_FAILED;
  }
  host::MutexState& state = host::State().mutexes[object->name];
  DWORD& ticks = host::State().ticks;
  if (!host::IsDue(state)) {
    DWORD left = state.forever ? INFINITE : state.released_at - ticks;
    if (milliseconds != INFINITE && (state.forever || left > milliseconds)) {
      ticks += milliseconds;
      return WAIT_TIMEOUT;
    }
    ticks = state.released_at;
  }
  bool abandoned = state.held_elsewhere && state.abandoned;
  state.held_elsewhere = false;
  ++state.owned;
  return abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
}

BOOL ReleaseMutex(HANDLE mutex) {
  KernelObject* object = host::Find(mutex, KernelObject::kMutex);
  if (!object) return 0;
  host::MutexState& state = host::State().mutexes[object->name];
  if (state.owned == 0) {
    host::g_last_error = 288;  // ERROR_NOT_OWNER
    return 0;
  }
  --state.owned;
  return 1;
}

namespace host {
namespace {

// The error of a path that cannot be found: which of its parts is missing.
DWORD MissingPathError(const std::string& native) {
  const size_t slash = native.rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : native.substr(0, slash);
  struct stat info;
  return stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) ? ERROR_FILE_NOT_FOUND
                                                                   : ERROR_PATH_NOT_FOUND;
}

// The attributes of the file at a host path, a link not followed; false with
// the last error set when there is none.
bool AttributesOf(const std::string& native, DWORD* attributes, unsigned long long* size,
                  FILETIME* written) {
  struct stat info;
  if (lstat(native.c_str(), &info) != 0) {
    host::g_last_error = errno == ENOENT ? MissingPathError(native) : ErrorOf(errno);
    return false;
  }
  if (S_ISLNK(info.st_mode)) {
    struct stat target;
    *attributes = FILE_ATTRIBUTE_REPARSE_POINT;
    if (stat(native.c_str(), &target) == 0 && S_ISDIR(target.st_mode)) {
      *attributes |= FILE_ATTRIBUTE_DIRECTORY;
    }
  } else if (S_ISDIR(info.st_mode)) {
    *attributes = FILE_ATTRIBUTE_DIRECTORY;
  } else {
    *attributes = (info.st_mode & S_IWUSR) ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY;
  }
  if (size) *size = S_ISDIR(info.st_mode) ? 0 : static_cast<unsigned long long>(info.st_size);
  if (written) {
    // 100-nanosecond intervals since 1601: 11644473600 s before 1970.
    const unsigned long long ticks =
        (static_cast<unsigned long long>(info.st_mtim.tv_sec) + 11644473600ull) * 10000000ull +
        static_cast<unsigned long long>(info.st_mtim.tv_nsec) / 100;
    written->dwLowDateTime = static_cast<DWORD>(ticks);
    written->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  }
  return true;
}

// Fills `data` with the next entry of a search: false with the last error set
// at the end of the folder or when it cannot be read.
bool NextEntry(KernelObject* search, WIN32_FIND_DATAW* data) {
  for (;;) {
    errno = 0;
    const struct dirent* entry = readdir(search->dir);
    if (!entry) {
      host::g_last_error = errno == 0 ? ERROR_NO_MORE_FILES : ErrorOf(errno);
      return false;
    }
    const std::u16string name = FromUtf8(entry->d_name);
    if (name.size() >= MAX_PATH) continue;  // Windows has no such name
    WIN32_FIND_DATAW found = {};
    unsigned long long size = 0;
    // An entry that went away between the listing and its attributes is not
    // reported, as Windows would not list it.
    if (!AttributesOf(search->folder + entry->d_name, &found.dwFileAttributes, &size,
                      &found.ftLastWriteTime)) {
      continue;
    }
    found.ftCreationTime = found.ftLastWriteTime;
    found.ftLastAccessTime = found.ftLastWriteTime;
    found.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    found.nFileSizeLow = static_cast<DWORD>(size);
    name.copy(found.cFileName, name.size());
    *data = found;
    host::g_last_error = 0;
    return true;
  }
}

}  // namespace
}  // namespace host

DWORD GetFileAttributesW(LPCWSTR path) {
  if (!path || !*path) {
    host::g_last_error = ERROR_PATH_NOT_FOUND;
    return INVALID_FILE_ATTRIBUTES;
  }
  DWORD attributes = 0;
  if (!host::AttributesOf(host::NativePath(path), &attributes, nullptr, nullptr)) {
    return INVALID_FILE_ATTRIBUTES;
  }
  host::g_last_error = 0;
  return attributes;
}

HANDLE FindFirstFileW(LPCWSTR pattern, WIN32_FIND_DATAW* data) {
  const std::string native = pattern ? host::NativePath(pattern) : std::string();
  const bool whole_folder = native == "*" || (native.size() >= 2 && native.back() == '*' &&
                                              native[native.size() - 2] == '/');
  if (!whole_folder || native.find_first_of("*?") != native.size() - 1 || !data) {
    host::g_last_error = ERROR_INVALID_PARAMETER;
    return INVALID_HANDLE_VALUE;
  }
  const std::string folder = native == "*" ? "./" : native.substr(0, native.size() - 1);
  DIR* dir = opendir(folder.c_str());
  if (!dir) {
    host::g_last_error =
        errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : host::ErrorOf(errno);
    return INVALID_HANDLE_VALUE;
  }
  KernelObject* search = new KernelObject{KernelObject::kFind};
  search->dir = dir;
  search->folder = folder;
  if (!host::NextEntry(search, data)) {
    const DWORD error = host::g_last_error;
    closedir(dir);
    delete search;
    host::g_last_error = error == ERROR_NO_MORE_FILES ? ERROR_FILE_NOT_FOUND : error;
    return INVALID_HANDLE_VALUE;
  }
  host::State().objects.insert(search);
  return search;
}

BOOL FindNextFileW(HANDLE find, WIN32_FIND_DATAW* data) {
  KernelObject* search = host::Find(find, KernelObject::kFind);
  if (!search || !data) {
    host::g_last_error = search ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE;
    return 0;
  }
  return host::NextEntry(search, data) ? 1 : 0;
}

BOOL FindClose(HANDLE find) {
  KernelObject* search = host::Find(find, KernelObject::kFind);
  if (!search) {
    host::g_last_error = ERROR_INVALID_HANDLE;
    return 0;
  }
  host::State().objects.erase(search);
  closedir(search->dir);
  delete search;
  return 1;
}
