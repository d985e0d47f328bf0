// The run's temporary folder: where the run record, every installer log and
// the installer's own temporary files of the run go.
#ifndef SETUP_TEMP_FOLDER_H
#define SETUP_TEMP_FOLDER_H

#include "platform/platform.h"
#include "text/cstring.h"

// Why a candidate folder is not used.
enum TempRefusal {
  kTempUsable,
  kTempNotSet,       // the variable is not set, or empty
  kTempNotFullPath,  // neither a drive letter, ":" and "\" or "/" nor "\\server\share" begins it
  kTempNoFolder,     // it names no existing folder
  kTempNoRecord,     // the record cannot be opened in it (no right to write, ...)
};

// Where the folder comes from, in the order in which the candidates are tried.
enum TempSource {
  kTempFromTmp,
  kTempFromTemp,
  kTempFromLocalAppData,  // %LOCALAPPDATA%\Temp, the user's own temporary folder
  kTempFromNone,          // no candidate is usable
};

struct TempChoice {
  CString folder;           // the folder used, without trailing backslash; empty when none
  TempSource source;        // where it comes from
  CString tmp_folder;       // what TMP names, trailing backslashes dropped
  TempRefusal tmp_refusal;  // why TMP's folder is not used, or kTempUsable
};

// Tries TMP, then TEMP, then %LOCALAPPDATA%\Temp. A candidate is usable when
// it is a full path (a drive letter, ":" and "\" or "/", or "\\server\share"), names an
// existing folder and the record MIVOSetup.log can be opened in it, for
// appending, or created there; the probe leaves no file behind. Trailing
// backslashes are dropped, so that a file's path has one separator. Changes
// nothing.
TempChoice ChooseTempFolder();

// The folder that `source` (not kTempFromNone) names, trailing separators
// dropped, and kTempUsable when it is a full path, without looking for it:
// each folder that a run may have recorded in.
TempRefusal TempCandidate(TempSource source, CString& folder);

// The folder that a run uses for its record and logs: ChooseTempFolder's,
// empty when no folder is usable.
CString TempFolder();

// The words of the record for a refusal and a source.
const char* TempRefusalText(TempRefusal refusal);
const char* TempSourceText(TempSource source);

#endif  // SETUP_TEMP_FOLDER_H
