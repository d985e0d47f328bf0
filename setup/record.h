// The run record: MIVOSetup.log in the temporary folder, to which every run
// appends what it saw, what it decided and why, and what the installer
// answered, one fact per line. The program shows nothing and always exits 0, so
// this file is how an administrator finds out afterwards what a run did.
//
// The file is UTF-8 without a byte-order mark, with CRLF line ends. Every line
// begins with the UTC date and time to the second and the process id:
//   2026-12-08 13:53:20Z [4242] mivo.msi: decision: current, so leave alone
// Each line is written with one append as soon as it is made, so a run that
// ends abruptly leaves every line written before, and lines of runs that write
// at the same time never mix within a line.
//
// The record never changes what the run does: when the file cannot be opened
// or written (no such folder, held open by another process, disk full), the
// lines are lost and nothing else happens.
#ifndef SETUP_RECORD_H
#define SETUP_RECORD_H

#include "platform/platform.h"

class RunRecord {
 public:
  // A record that writes nothing until it is opened.
  RunRecord() {}
  ~RunRecord();
  RunRecord(const RunRecord&) = delete;
  RunRecord& operator=(const RunRecord&) = delete;

  // Opens <folder>\MIVOSetup.log for appending, creating it when it does not
  // exist; the folder is not created. Before that, a record of more than 1 MiB
  // is cut to its newest 512 KiB, from the first line that begins there. The
  // file is shared for reading and writing, so that other runs can append at
  // the same time. Opening a record that is open already changes nothing.
  void Open(LPCWSTR folder);

  // Names the entry whose facts follow ("mivo.msi"): each line begins with the
  // name and ": " until the next call; null ends it. The text must stay valid
  // while it is named.
  void SetEntry(LPCWSTR name);

  // Appends one line. `format` is ASCII text with these conversions:
  //   %s a UTF-16 text (LPCWSTR; null writes nothing), %a an ASCII text,
  //   %d an int, %u a DWORD,
  //   %r an installer result (UINT) as its number and, where it has one, its
  //      name: "1618 (ERROR_INSTALL_ALREADY_RUNNING)",
  //   %% a percent sign.
  // A line that cannot be made (memory) or written is dropped.
  void Write(const char* format, ...);

 private:
  HANDLE file_ = INVALID_HANDLE_VALUE;
  LPCWSTR entry_ = nullptr;
};

// The record's size limit and how much of it a cut keeps.
const DWORD kRunRecordLimit = 1024 * 1024;
const DWORD kRunRecordKept = 512 * 1024;

#endif  // SETUP_RECORD_H
