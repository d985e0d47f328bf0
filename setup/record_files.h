// The files of the run record, as the run writes them, the temporary folder's
// probe tries them and mivocheck reads them (docs/run-record.md):
//
//   <folder>\MIVOSetup.log    the current generation, to which lines are appended
//   <folder>\MIVOSetup.log.1  the older generation, the lines before them
//
// When a line would take the current generation over kRunRecordLimit bytes,
// the file is first renamed to the older generation (replacing the one there)
// through a handle of the file that was measured, and the line starts a new
// current generation. Every opener shares delete access, so that the rename
// works while other runs have the file open; a run that still appends to the
// renamed file appends to the older generation. No file is ever shortened, so
// housekeeping loses no line that a run wrote; the oldest generation goes as a
// whole when it is replaced.
#ifndef SETUP_RECORD_FILES_H
#define SETUP_RECORD_FILES_H

#include "platform/platform.h"

// The record's path in its folder, the folder entering as the argument, and
// the path of its older generation, the record's path entering.
extern const WCHAR kRunRecordPathFormat[];
extern const WCHAR kRunRecordOlderFormat[];

// How the record is opened to append a line, and how the temporary folder's
// probe opens it: append access alone, so that every write lands at the end of
// the file, shared for everything.
const DWORD kRunRecordAccess = FILE_APPEND_DATA;
const DWORD kRunRecordShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The size of one generation beyond which the next line starts a new one.
const DWORD kRunRecordLimit = 1024 * 1024;

#endif  // SETUP_RECORD_FILES_H
