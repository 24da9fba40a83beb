#include "src/kvcsvexp.h"

#include <algorithm>
#include <array>
#include <cstring>

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
  FCustomSeparator = NormaliseCustomSeparator(Value);
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
  return FieldDelimiterChar(FFieldDelimiter);
}

std::string TCSVExport::GetFieldSeparatorChar() const {
  return FieldSeparatorChar(FFieldSeparator, FCustomSeparator);
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
  ttAny = 16,      // every type
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
    traits[t] = TraitsOf(static_cast<TFieldType>(t)) | ttAny;
  }
  return traits;
}();

// Room asked for before a value is written in place: numbers, booleans and
// dates always fit, and most texts do.
constexpr std::size_t kValueRoom = 64;

// How a record's values are joined, taken from the properties once per
// record.
struct TLineStyle {
  std::string_view separator;
  std::string_view quote;
  std::uint8_t quoted = 0;  // the traits of the values quoted: none, text or all
  bool fixed = false;
  bool rightNumbers = false;  // fixed-width numbers padded on the left
};

}  // namespace

// A record's bytes put together on the stack and handed to the output in
// one append, instead of an append per value, separator and quote. A value
// that does not fit goes to the output directly, after what the builder
// holds. What was not handed on when a raise leaves the record is dropped.
class TCSVExport::TLineBuilder {
 public:
  explicit TLineBuilder(std::string& out) : FOut(out) {}
  TLineBuilder(const TLineBuilder&) = delete;
  TLineBuilder& operator=(const TLineBuilder&) = delete;

  // True when n bytes fit from Cursor() on (handing on what is held first
  // when needed); false when n is more than the builder ever holds.
  bool Reserve(std::size_t n) {
    if (n <= kSize - FLength) return true;
    Flush();
    return n <= kSize;
  }
  char* Cursor() { return FBuffer + FLength; }
  char* Limit() { return FBuffer + kSize; }
  // Takes the bytes written from Cursor() up to end.
  void Commit(const char* end) { FLength = static_cast<std::size_t>(end - FBuffer); }

  void Put(char c) {
    if (FLength == kSize) Flush();
    FBuffer[FLength++] = c;
  }
  // Separators and quotes: one character or none (ResolveCharacters).
  void Put(std::string_view mark) {
    if (mark.size() == 1) {
      Put(mark.front());
    } else {
      for (char c : mark) Put(c);
    }
  }
  void PutBlanks(int count) {
    if (count <= 0) return;
    const auto n = static_cast<std::size_t>(count);
    if (Reserve(n)) {
      std::memset(Cursor(), ' ', n);
      FLength += n;
    } else {
      FOut.append(n, ' ');
    }
  }

  // A field's text: in place when it fits, else through AppendText.
  void PutText(const TField& field) {
    if (Reserve(kValueRoom)) {
      if (const char* end = field.TextToChars(Cursor(), Limit())) {
        Commit(end);
        return;
      }
    }
    field.AppendText(Output());
  }
  // A field's text padded with blanks to width, on the left when right is
  // set; a longer text is kept whole.
  void PutPadded(const TField& field, int width, bool right) {
    const std::size_t room =
        width > 0 ? std::max(kValueRoom, static_cast<std::size_t>(width)) : kValueRoom;
    if (Reserve(room)) {
      char* const start = Cursor();
      if (char* end = field.TextToChars(start, Limit())) {
        const std::ptrdiff_t padding = width - (end - start);
        if (padding > 0) {
          const auto blanks = static_cast<std::size_t>(padding);
          if (right) {
            std::memmove(start + padding, start, static_cast<std::size_t>(end - start));
            std::memset(start, ' ', blanks);
          } else {
            std::memset(end, ' ', blanks);
          }
          end += padding;
        }
        Commit(end);
        return;
      }
    }
    std::string& out = Output();
    const std::size_t at = out.size();
    field.AppendText(out);
    const int padding = width - static_cast<int>(out.size() - at);
    if (padding > 0) {
      if (right) {
        out.insert(at, static_cast<std::size_t>(padding), ' ');
      } else {
        out.append(static_cast<std::size_t>(padding), ' ');
      }
    }
  }
  void PutDate(TDateTime value) {
    if (Reserve(kValueRoom)) {
      if (const char* end = DateToChars(Cursor(), Limit(), value)) {
        Commit(end);
        return;
      }
    }
    AppendDateToStr(Output(), value);
  }
  void PutTime(TDateTime value) {
    if (Reserve(kValueRoom)) {
      if (const char* end = TimeToChars(Cursor(), Limit(), value)) {
        Commit(end);
        return;
      }
    }
    AppendTimeToStr(Output(), value);
  }

  // One value as the style wants it: quoted, padded, left out.
  void PutValue(const TField& field, const TLineStyle& style) {
    const TFieldType type = field.DataType();
    const std::uint8_t traits = kTypeTraits[type];
    const bool wrap = (traits & style.quoted) != 0;
    if (wrap) Put(style.quote);
    if (traits & ttOmitted) {
      // nothing: the value is empty in both layouts
    } else if (traits & ttDateTime) {
      const TDateTime value = field.AsDateTime();
      // Day zero (which is also what a field without a value reads) counts as
      // no date. Dates before day zero are real dates and are written like any
      // other: dropping them would lose every date before 1899-12-30.
      const bool hasDate = value != 0;
      if (style.fixed) {
        if (hasDate) {
          PutText(field);
        } else {
          PutBlanks(field.DisplayWidth());
        }
      } else if (type == ftTime) {
        PutTime(value);
      } else if (hasDate) {
        PutDate(value);  // the date part only, also for date-time
      }
    } else if (!style.fixed) {
      PutText(field);
    } else {
      PutPadded(field, field.DisplayWidth(), style.rightNumbers && (traits & ttNumeric));
    }
    if (wrap) Put(style.quote);
  }

  // The output, holding everything put so far, for a value written to it
  // directly.
  std::string& Output() {
    Flush();
    return FOut;
  }
  void Flush() {
    FOut.append(FBuffer, FLength);
    FLength = 0;
  }

 private:
  static constexpr std::size_t kSize = 1024;
  std::string& FOut;
  std::size_t FLength = 0;
  char FBuffer[kSize];
};

bool TCSVExport::FormatRecord(std::string& out, bool fixed) {
  if (FDataSet == nullptr) return true;
  const std::size_t start = out.size();
  try {
    TLineBuilder line(out);
    TLineStyle style;
    style.separator = FSeparator;
    style.quote = FDelimiter;
    if (!FDelimiter.empty()) style.quoted = FDelimitedFields == dfTextOnly ? ttText : ttAny;
    style.fixed = fixed;
    style.rightNumbers = FNumericAlign == naRight;
    const std::vector<TField*>& fields = FDataSet->Fields();
    const int count = FDataSet->FieldCount();
    bool first = true;
    for (int i = 0; i < count; ++i) {
      // A handler that changed the fields meanwhile makes Fields(i) raise.
      const auto index = static_cast<std::size_t>(i);
      const TField* field = index < fields.size() ? fields[index] : FDataSet->Fields(i);
      if (FFieldListAction != flaNone &&
          !FieldInFieldList(FFieldListAction, FFieldList.get(), field->FieldName())) {
        continue;
      }
      // Every value after the first is preceded by the separator, so n values
      // give n - 1 separators even when some of them are empty.
      if (!first) line.Put(style.separator);
      first = false;
      line.PutValue(*field, style);
    }
    line.Flush();
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
