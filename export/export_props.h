// The values of a TCSVExport's properties: kept apart from the class, behind
// a pointer, so that a new property changes no size or layout a program
// built against the installed headers relies on. The component's accessors
// (export_props.cpp) and its run read and write them here directly.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "core/component_ref.h"
#include "data/db.h"
#include "export/kvcsvexp.h"

namespace korvane {

struct TExportProps {
  std::string FCustomSeparator;
  // Cleared when the dataset is destroyed.
  TComponentRef<TDataSet> FDataSet;
  TDelimitedFields FDelimitedFields = dfAll;
  TExportType FExportType = expDelimited;
  TFieldDelimiter FFieldDelimiter = fdlNone;
  TFieldSeparator FFieldSeparator = fspPipe;
  std::string FSeparatorChar;
  std::unique_ptr<TStringList> FFieldList = std::make_unique<TStringList>();
  TFieldListAction FFieldListAction = flaNone;
  std::unique_ptr<TStringList> FHeaderData = std::make_unique<TStringList>();
  bool FHeaderOutput = false;
  bool FHeaderFieldNames = false;
  TWriteMode FWriteMode = wmInPlace;
  TNumericAlignment FNumericAlign = naLeft;
  bool FWholeValues = false;
  TDateTimeStyle FDateTimeStyle = dsFormatSettings;
  bool FUtcTimes = false;
  bool FCheckUnquoted = false;
  TFormatChoice FFormats;
  TFixedLayout FFixedLayout = flClassic;
  std::string FFixedWidths;
  TFixedWidthUnit FFixedWidthUnit = fuBytes;
  bool FByteOrderMark = false;
  TCompression FCompression = cmNone;
  std::string FEncoding;
  TDialect FDialect = dlClassic;
  std::string FEscapeChar;
  TExportEvent FOnExportRecord;
  std::int32_t FExportRecordInterval = 1;
  TNotifyEvent FOnBeginExport;
  TNotifyEvent FOnFinishExport;
  std::string FOutputFile;
  TRecordSeparator FRecordSeparator = rsCRLF;
  bool FShowProgress = false;
  TMessageEvent FOnMessage;
  std::unique_ptr<TStringList> FTrailerData = std::make_unique<TStringList>();
  bool FTrailerOutput = false;
  bool FFormatAhead = std::thread::hardware_concurrency() > 1;
};

}  // namespace korvane
