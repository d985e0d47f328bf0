// The command mivocheck --records.
#include "mivocheck/records.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "mivocheck/records_internal.h"
#include "platform/utf8.h"

namespace mivocheck {

// ---------------------------------------------------------------------------
// The command.

namespace {

// A name of the file system as it is reported: outside text, escaped as the
// record escapes it.
std::string PathText(const PathString& path) {
#ifdef _WIN32
  return RecordTextEscaped(path.c_str());
#else
  return FileNameEscaped(path);
#endif
}

// Hands runs on and names each line that does not parse.
class CommandSink : public RecordSink {
 public:
  CommandSink(RecordSink& inner, const std::function<void(const std::string&)>& err)
      : inner_(inner), err_(err) {}
  void RunDone(const Run& run) override {
    ++runs_;
    inner_.RunDone(run);
  }
  void LineNotParsed(const std::string& file, unsigned long long line_number) override {
    ++lines_not_parsed_;
    err_(file + ":" + std::to_string(line_number) + ": does not parse as a line of the record\n");
  }
  unsigned long long lines_not_parsed_ = 0;
  unsigned long long runs_ = 0;

 private:
  RecordSink& inner_;
  const std::function<void(const std::string&)>& err_;
};

}  // namespace

namespace {

// Reads every file below `folder`, depth first, as each folder lists them; a
// link to a folder is not followed. False when a file cannot be read (named
// in `err`); `listed` false when a folder cannot be listed, which ends the
// walk.
bool ReadFolder(const PathString& folder, RecordSink& sink,
                const std::function<void(const std::string&)>& err, bool& listed) {
  bool read = true;
  FolderEntries entries(folder);
  while (listed && entries.Next()) {
    const PathString path = JoinPath(folder, EntryName(entries.entry()));
    if (entries.IsFolderEntry()) {
      if (!entries.IsLinkEntry() && !ReadFolder(path, sink, err, listed)) read = false;
      continue;
    }
    if (!ReadRecordFile(path, PathText(path), sink)) {
      err("mivocheck: cannot read " + PathText(path) + "\n");
      read = false;
    }
  }
  if (entries.failed()) listed = false;
  return read;
}

// Reads one named file, or every file below a named folder; false when one
// cannot be read or a folder cannot be listed (named in `err`).
bool ReadArgument(const PathString& path, RecordSink& sink,
                  const std::function<void(const std::string&)>& err) {
  if (!IsFolder(path)) {
    if (ReadRecordFile(path, PathText(path), sink)) return true;
    err("mivocheck: cannot read " + PathText(path) + "\n");
    return false;
  }
  // Entries as the folder lists them, one at a time: the names are not
  // gathered, so a folder of any size takes no more memory.
  bool listed = true;
  const bool read = ReadFolder(path, sink, err, listed);
  if (!listed) err("mivocheck: cannot list " + PathText(path) + "\n");
  return read && listed;
}

}  // namespace

int ReadRecords(const std::vector<RecordArgument>& arguments, const std::string& usage,
                const std::function<void(const std::string&)>& out,
                const std::function<void(const std::string&)>& err) {
  bool csv = false;
  size_t first = 0;
  for (; first < arguments.size(); ++first) {
    const PathString argument = arguments[first];
    if (argument.size() < 2 || argument[0] != '-' || argument[1] != '-') break;
    if (argument.size() == 2) {  // "--": what follows are files
      ++first;
      break;
    }
    if (PathText(argument) != "--csv") {
      err("mivocheck: unknown option " + PathText(argument) + "\n" + usage);
      return 2;
    }
    csv = true;
  }
  if (first == arguments.size()) {
    err(usage);
    return 2;
  }

  RecordSummary summary;
  std::unique_ptr<CsvRecordWriter> writer;
  if (csv) writer.reset(new CsvRecordWriter(out));
  CommandSink sink(writer ? static_cast<RecordSink&>(*writer) : summary, err);
  bool unreadable = false;
  for (size_t i = first; i < arguments.size(); ++i) {
    if (!ReadArgument(arguments[i], sink, err)) unreadable = true;
  }
  if (!writer) out(summary.Format());
  if (sink.lines_not_parsed_ > 0) {
    err("mivocheck: " + std::to_string(sink.lines_not_parsed_) +
        (sink.lines_not_parsed_ == 1 ? " line does" : " lines do") + " not parse\n");
  }
  if (sink.runs_ == 0) err("mivocheck: no run in the records named\n");
  if (unreadable || sink.runs_ == 0) return 2;
  if (sink.lines_not_parsed_ > 0) return 1;
  return (writer ? writer->AnyRunFailed() : summary.AnyRunFailed()) ? 1 : 0;
}

}  // namespace mivocheck
