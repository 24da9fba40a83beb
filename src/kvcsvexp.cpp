#include "src/kvcsvexp.h"

#include <algorithm>
#include <array>

#include "platform/dialogs.h"
#include "platform/formats.h"
#include "platform/sysutils.h"
#include "src/kvprogress.h"

namespace korvane {

// Cleans up after a run whichever way it leaves Execute: buffered lines go
// to the file, the file is closed and the progress window freed. CleanUp
// does nothing the second time, so the normal path may call it first.
class TCSVExport::TRunGuard {
 public:
  explicit TRunGuard(TCSVExport& owner) : FOwner(owner) {}
  ~TRunGuard() { FOwner.CleanUp(); }
  TRunGuard(const TRunGuard&) = delete;
  TRunGuard& operator=(const TRunGuard&) = delete;

 private:
  TCSVExport& FOwner;
};

TCSVExport::TCSVExport(TComponent* owner)
    : TComponent(owner),
      FFieldList(std::make_unique<TStringList>()),
      FHeaderData(std::make_unique<TStringList>()),
      FTrailerData(std::make_unique<TStringList>()) {}

TCSVExport::~TCSVExport() { CleanUp(); }

void TCSVExport::SetCustomSeparator(const std::string& Value) {
  const std::string trimmed = Trim(Value);
  FCustomSeparator = trimmed.substr(0, trimmed.empty() ? 0 : 1);
}

void TCSVExport::SetFieldList(const TStrings* Value) {
  if (Value == nullptr) {
    FFieldList->Clear();
  } else {
    FFieldList->Assign(*Value);
  }
}

void TCSVExport::SetHeaderData(const TStrings* Value) {
  if (Value == nullptr) {
    FHeaderData->Clear();
  } else {
    FHeaderData->Assign(*Value);
  }
}

void TCSVExport::SetTrailerData(const TStrings* Value) {
  if (Value == nullptr) {
    FTrailerData->Clear();
  } else {
    FTrailerData->Assign(*Value);
  }
}

void TCSVExport::SetVersion(const std::string& /*Value*/) {}

std::string TCSVExport::GetFieldDelimiterChar() const {
  switch (FFieldDelimiter) {
    case fdlSingle:
      return "'";
    case fdlDouble:
      return "\"";
    case fdlNone:
      break;
  }
  return std::string();
}

std::string TCSVExport::GetFieldSeparatorChar() const {
  switch (FFieldSeparator) {
    case fspPipe:
      return "|";
    case fspTab:
      return "\t";
    case fspComma:
      return ",";
    case fspCustom:
    case fspNone:
      return FCustomSeparator.substr(0, FCustomSeparator.empty() ? 0 : 1);
  }
  return std::string();
}

void TCSVExport::ResolveCharacters() {
  FDelimiter = GetFieldDelimiterChar();
  FSeparator = GetFieldSeparatorChar();
}

// ---------------------------------------------------------------------------
// Record formatting

namespace {

// What the formatting needs to know of a field type, looked up once per
// value.
enum TTypeTrait : std::uint8_t {
  ttOmitted = 1,   // binary data, blobs, plain memos: the value never reaches the line
  ttDateTime = 2,  // date, time and date-time
  ttText = 4,      // quoted also when only text values are
  ttNumeric = 8,   // padded on the side NumericAlign chooses in fixed-width lines
};

constexpr std::uint8_t TraitsOf(TFieldType type) {
  switch (type) {
    case ftBytes:
    case ftVarBytes:
    case ftBlob:
    case ftGraphic:
    case ftParadoxOle:
    case ftDBaseOle:
    case ftTypedBinary:
      return ttOmitted;
    case ftMemo:
      return ttOmitted | ttText;
    case ftString:
    case ftFmtMemo:
      return ttText;
    case ftDate:
    case ftTime:
    case ftDateTime:
      return ttDateTime;
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftFloat:
    case ftCurrency:
    case ftBCD:
    case ftAutoInc:
      return ttNumeric;
    default:
      return 0;
  }
}

constexpr std::array<std::uint8_t, 256> kTypeTraits = [] {
  std::array<std::uint8_t, 256> traits{};
  for (std::size_t t = 0; t < traits.size(); ++t) {
    traits[t] = TraitsOf(static_cast<TFieldType>(t));
  }
  return traits;
}();

void AppendBlanks(std::string& line, int count) {
  if (count > 0) line.append(static_cast<std::size_t>(count), ' ');
}

// Separators and quotes are one character or none (ResolveCharacters); a
// push_back is much cheaper than a general append.
inline void AppendMark(std::string& line, const std::string& mark) {
  if (mark.size() == 1) {
    line.push_back(mark.front());
  } else if (!mark.empty()) {
    line += mark;
  }
}

}  // namespace

void TCSVExport::AppendValue(std::string& out, const TField& field, bool fixed) {
  const TFieldType type = field.DataType();
  const std::uint8_t traits = kTypeTraits[type];
  const bool wrap = !FDelimiter.empty() && (FDelimitedFields != dfTextOnly || (traits & ttText));
  if (wrap) AppendMark(out, FDelimiter);

  if (traits & ttOmitted) {
    // nothing: the value is empty in both layouts
  } else if (traits & ttDateTime) {
    const TDateTime value = field.AsDateTime();
    // Day zero (which is also what a field without a value reads) counts as
    // no date. Dates before day zero are real dates and are written like any
    // other: dropping them would lose every date before 1899-12-30.
    const bool hasDate = value != 0;
    if (fixed) {
      if (hasDate) {
        field.AppendText(out);
      } else {
        AppendBlanks(out, field.DisplayWidth());
      }
    } else if (type == ftTime) {
      AppendTimeToStr(out, value);
    } else if (hasDate) {
      AppendDateToStr(out, value);  // the date part only, also for date-time
    }
  } else if (!fixed) {
    field.AppendText(out);
  } else {
    const std::size_t at = out.size();
    field.AppendText(out);
    const int padding = field.DisplayWidth() - static_cast<int>(out.size() - at);
    if (padding > 0) {
      if (FNumericAlign == naRight && (traits & ttNumeric)) {
        out.insert(at, static_cast<std::size_t>(padding), ' ');
      } else {
        out.append(static_cast<std::size_t>(padding), ' ');
      }
    }
  }

  if (wrap) AppendMark(out, FDelimiter);
}

bool TCSVExport::FormatRecord(std::string& out, bool fixed) {
  if (FDataSet == nullptr) return true;
  const std::size_t start = out.size();
  try {
    const int count = FDataSet->FieldCount();
    bool first = true;
    for (int i = 0; i < count; ++i) {
      const TField* field = FDataSet->Fields(i);
      if (FFieldListAction != flaNone &&
          !FieldInFieldList(FFieldListAction, FFieldList.get(), field->FieldName())) {
        continue;
      }
      // Every value after the first is preceded by the separator, so n values
      // give n - 1 separators even when some of them are empty.
      if (!first) AppendMark(out, FSeparator);
      first = false;
      AppendValue(out, *field, fixed);
    }
  } catch (...) {
    // A record that cannot be read is skipped as a whole.
    out.resize(start);
    return false;
  }
  return true;
}

std::string TCSVExport::GetDelimitedRecord() {
  std::string line;
  FormatRecord(line, false);
  return line;
}

std::string TCSVExport::GetFixedRecord() {
  std::string line;
  FormatRecord(line, true);
  return line;
}

// ---------------------------------------------------------------------------
// Writing

std::string_view TCSVExport::RecordSeparatorBytes() const {
  switch (FRecordSeparator) {
    case rsCR:
      return "\r";
    case rsLF:
      return "\n";
    case rsCRLF:
      break;
  }
  return "\r\n";
}

bool TCSVExport::FlushWriteBuffer() {
  if (FWriteBuffer.empty()) return true;
  const bool ok = WriteFile(FFileHandle, FWriteBuffer.data(), FWriteBuffer.size());
  if (ok) {
    FWrittenBytes += FWriteBuffer.size();
    FFlushAt = static_cast<std::size_t>(
        std::clamp<std::uint64_t>(FWrittenBytes, kWriteBufferSize, kMaxWriteBufferSize));
  }
  // What failed to go out is dropped: a failed write ends the run.
  FWriteBuffer.clear();
  if (FWriteBuffer.capacity() > 4 * kMaxWriteBufferSize) {
    // Give back what a very long line made the buffer grow to.
    std::string().swap(FWriteBuffer);
  }
  if (FWriteBuffer.capacity() < FFlushAt + kWriteBufferSize) {
    FWriteBuffer.reserve(FFlushAt + kWriteBufferSize);  // empty now: nothing is copied
  }
  if (!ok && FWriteErrorCode == 0) FWriteErrorCode = GetLastError();
  return ok;
}

bool TCSVExport::WriteData(const std::string& line) {
  FWriteBuffer += line;
  FWriteBuffer += RecordSeparatorBytes();
  return FWriteBuffer.size() < FFlushAt || FlushWriteBuffer();
}

bool TCSVExport::WriteLines(const TStrings& lines) {
  const int count = lines.Count();
  for (int i = 0; i < count; ++i) {
    if (!WriteData(lines.Strings(i))) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// The run

void TCSVExport::FreeProgressWindow() noexcept {
  TProgressWindow* window = FProgressWindow;
  FProgressWindow = nullptr;
  delete window;
}

bool TCSVExport::Setup() {
  FRecordCounter = 0;
  FWriteBuffer.clear();
  FWriteBuffer.reserve(kWriteBufferSize + 1024);
  FFlushAt = kWriteBufferSize;
  FWrittenBytes = 0;
  FWriteErrorCode = 0;
  try {
    if (FDataSet == nullptr) return false;
    // Everything that can fail comes before the output file is created, so
    // that a run that cannot start leaves an earlier file untouched.
    if (!FDataSet->Active()) FDataSet->Open();
    FRecordTotal = FDataSet->RecordCount();
    if (FShowProgress) {
      if (FProgressWindow == nullptr) FProgressWindow = new TProgressWindow(this);
      FProgressWindow->Init(ptExport, pcRecord, FOutputFile, FRecordTotal, 0);
      FProgressWindow->Show();
    }
    FDataSet->First();
    ResolveCharacters();
    FFileHandle.Close();  // left open by a host that drove the pieces itself
    FFileHandle = CreateFileForWrite(FOutputFile);
    return FFileHandle.Valid();
  } catch (...) {
    return false;
  }
}

void TCSVExport::CleanUp() {
  if (FFileHandle.Valid()) {
    FlushWriteBuffer();
    if (!FFileHandle.Close() && FWriteErrorCode == 0) FWriteErrorCode = GetLastError();
  }
  std::string().swap(FWriteBuffer);  // a long run's buffer is not kept between runs
  FreeProgressWindow();
}

std::int32_t TCSVExport::Execute() {
  std::int32_t result = -1;
  try {
    if (FOnBeginExport) FOnBeginExport(this);
    bool written = true;
    {
      TRunGuard guard(*this);
      if (!Setup()) {
        CleanUp();
        return -1;
      }
      result = 0;
      written = WriteRun();
      CleanUp();
    }
    if (!written || FWriteErrorCode != 0) {
      result = -1;
      MessageDlg("Write failed with error code " + IntToStr(FWriteErrorCode), mtError,
                 TMsgDlgButtons{mbOK}, 0);
      return -1;
    }
    result = FRecordCounter;
    if (FOnFinishExport) FOnFinishExport(this);
  } catch (const EConvertError&) {
    MessageDlg("Data conversion error!", mtError, TMsgDlgButtons{mbOK}, 0);
  }
  return result;
}

bool TCSVExport::WriteRun() {
  std::int64_t bytes = 0;
  // Progress is shown about a hundred times per run, whatever its size.
  const std::int32_t interval = std::max<std::int32_t>(1, FRecordTotal / 100);
  const bool fixed = FExportType == expFixed;

  if (FHeaderOutput && !WriteLines(*FHeaderData)) return false;

  // A handler may point DataSet elsewhere; this run walks the dataset it
  // started on.
  TDataSet* const dataSet = FDataSet;
  const std::string_view separator = RecordSeparatorBytes();
  while (!dataSet->Eof()) {
    // The record is formatted straight into the output buffer.
    const std::size_t start = FWriteBuffer.size();
    FormatRecord(FWriteBuffer, fixed);
    const std::size_t length = FWriteBuffer.size() - start;
    if (length > 0) {
      FWriteBuffer += separator;
      // Every line counts two separator bytes, whatever RecordSeparator writes.
      bytes += static_cast<std::int64_t>(length) + 2;
      if (FWriteBuffer.size() >= FFlushAt && !FlushWriteBuffer()) return false;
    }
    dataSet->Next();
    ++FRecordCounter;
    if (FOnExportRecord) {
      // The handler may look at the file: it must hold every line so far.
      if (!FlushWriteBuffer()) return false;
      FOnExportRecord(this, FRecordCounter, bytes);
    }
    if (FShowProgress && FRecordCounter % interval == 0 && FProgressWindow != nullptr) {
      FProgressWindow->Increment(FRecordCounter, bytes);
    }
  }

  if (FTrailerOutput && !WriteLines(*FTrailerData)) return false;
  return true;
}

}  // namespace korvane
