// The values of a TCSVImport's properties, and what a host asked of it
// (InputRange, Stop): kept apart from the class, behind a pointer, so that a
// new property changes no size or layout a program built against the
// installed headers relies on. The component's accessors
// (import_props.cpp) and its run read and write them here directly.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/component_ref.h"
#include "data/db.h"
#include "import/kvcsvimp.h"

namespace korvane {

struct TImportProps {
  std::string FCustomSeparator;
  TColumnMatching FColumnMatching = cmByPosition;
  bool FSkipUnknownColumns = false;
  bool FLooseColumnNames = false;
  bool FRefuseReadOnlyFields = false;
  TFixedLayout FFixedLayout = flClassic;
  std::string FFixedWidths;
  TFixedWidthUnit FFixedWidthUnit = fuBytes;
  // Cleared when the dataset is destroyed.
  TComponentRef<TDataSet> FDataSet;
  TDelimitedFields FDelimitedFields = dfAll;
  TDialect FDialect = dlClassic;
  std::string FEncoding;
  TMessageEvent FOnMessage;
  bool FSharedReading = false;
  TFilterRecordEvent FOnFilterRecord;
  TFieldDelimiter FFieldDelimiter = fdlNone;
  std::unique_ptr<TStringList> FFieldList = std::make_unique<TStringList>();
  TFieldListAction FFieldListAction = flaNone;
  TFieldSeparator FFieldSeparator = fspPipe;
  std::unique_ptr<TStringList> FHeaderData = std::make_unique<TStringList>();
  std::int32_t FHeaderRecords = 0;
  std::int32_t FSkipLines = 0;
  bool FSkipBlankStart = false;
  std::string FCommentChar;
  std::string FEscapeChar;
  bool FKeepStrayQuotes = false;
  std::string FSeparatorChar;
  bool FHeaderStored = false;
  TImportType FImportType = impDelimited;
  std::string FInputFile;
  TCompression FCompression = cmNone;
  std::int32_t FStartRecord = 0;
  std::optional<TCSVImport::TInputRange> FInputRange;
  std::atomic<bool> FStopRequested{false};
  static_assert(std::atomic<bool>::is_always_lock_free, "Stop is called from signal handlers");
  bool FShowProgress = false;
  std::unique_ptr<TStringList> FTrailerData = std::make_unique<TStringList>();
  std::int32_t FTrailerRecords = 0;
  bool FTrailerStored = false;
  bool FWholeValues = false;
  TValueErrors FValueErrors = veLenient;
  TDateTimeStyle FDateTimeStyle = dsFormatSettings;
  bool FUtcTimes = false;
  bool FWideDates = false;
  bool FWideMoney = false;
  TFormatChoice FFormats;
  std::unique_ptr<TStringList> FColumnFormats = std::make_unique<TStringList>();
  TNotifyEvent FOnBeginImport;
  TNotifyEvent FOnFinishImport;
  TImportEvent FOnImportRecord;
  TRecordErrorEvent FOnRecordError;
  bool FReportRecordText = true;
  bool FUseRecordCache = false;
  std::size_t FReadBufferSize = TCSVImport::kDefaultReadBufferSize;
  bool FReadAheadEnabled = TCSVImport::DefaultReadAhead();
};

}  // namespace korvane
