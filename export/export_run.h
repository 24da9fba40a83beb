// The run of a TCSVExport: what it keeps apart from the component's
// properties (the output, the characters in force, the new file of a
// wmReplace run, the progress window, the counters, the reasons) and the
// steps that use it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "export/kvcsvexp.h"
#include "export/export_output.h"
#include "export/export_props.h"
#include "export/record_plan.h"

namespace korvane {

class TReplacementFile;

// One a component, made with it; reads the component's properties as they
// are at each step.
class TExportRun {
 public:
  explicit TExportRun(TCSVExport& owner);
  ~TExportRun();
  TExportRun(const TExportRun&) = delete;
  TExportRun& operator=(const TExportRun&) = delete;

  // What the record plan takes from the properties.
  TExportLayout Layout() const;
  // The current record as a line, without the record separator.
  std::string FormatRecord(bool fixed);
  // Header, record loop and trailer of Execute; false when a write failed.
  bool WriteRun();
  // Formats records on a second thread while it can, from the first one
  // on (see FormatAhead); false when a write failed.
  bool WriteAhead(TRecordPlan& plan, std::int64_t& bytes);
  bool WriteData(std::string_view line);
  bool WriteLines(const TStrings& lines);
  std::string_view RecordSeparatorBytes() const;
  void FreeProgressWindow() noexcept;
  // Shows a message of the run (OnMessage, else MessageDlg).
  void ShowMessage(const std::string& text, TMsgDlgType type);
  // Fills LastError for a run that failed after Setup.
  void NoteWriteFailure();
  // Puts a wmReplace run's new file in OutputFile's place; false (with
  // LastError) when it cannot, the target then unchanged.
  bool ReplaceTarget();

  TCSVExport& FOwner;
  // The owner's properties, read where the run needs them.
  TExportProps& FProps;
  // Bytes waiting for the file, and the file. On cache lines of their own,
  // apart from what a run reads for every record: while records are
  // formatted ahead, another thread writes there.
  TExportOutput FOutput;
  // The quote and separator characters in force (ResolveCharacters).
  alignas(64) std::string FDelimiter;
  std::string FSeparator;
  // The new file of a wmReplace run, from Setup until it replaces the
  // target or is removed.
  std::unique_ptr<TReplacementFile> FReplacement;
  TProgressWindow* FProgressWindow = nullptr;  // owned (its component owner is the component)
  std::int32_t FRecordCounter = 0;
  std::int32_t FRecordTotal = 0;
  // Why the last run failed, and whether it got past Setup.
  std::string FLastError;
  bool FStarted = false;
  // While Execute runs (TRunInProgress).
  std::atomic<bool> FRunning{false};
  TLeftOutLog FLeftOut;
};

}  // namespace korvane
