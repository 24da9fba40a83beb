// TCSVImport's run: records that fail, and why: the reports of failed
// records to OnRecordError, also of those the dataset refuses later.
#include <algorithm>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>

#include "data/db_failure.h"
#include "import/kvcsvimp.h"
#include "import/import_run.h"
#include "components/strict_values.h"

namespace korvane {

namespace {

void Increase(std::int32_t& counter) {
  if (counter < std::numeric_limits<std::int32_t>::max()) ++counter;
}

}  // namespace

void TImportRun::RefuseFailedRecord() {
  CancelFailedRecord();
  try {
    throw;
  } catch (const EDatabaseFailure&) {
    throw;  // not the record's fault
  } catch (const std::exception& e) {
    NoteFailure(rerRefused, -1, {}, e.what());
  } catch (...) {
    // Host code (a field's handler) raised something that carries no
    // text: the record fails all the same, as refused.
    NoteFailure(rerRefused, -1, {}, "the record was refused");
  }
}

void TImportRun::CancelFailedRecord() {
  try {
    TDataSet* data = FProps.FDataSet;
    if (data->State() == dsEdit || data->State() == dsInsert) data->Cancel();
  } catch (const std::exception&) {
    // The record fails with the reason of what made it fail, which the
    // caller notes; that it could not be cancelled after says nothing
    // more (the next record's Append starts afresh).
  }
}

void TImportRun::NoteFailure(TRecordErrorReason reason, int field, std::string_view value,
                             std::string message) {
  FFailure.Reason = reason;
  FFailure.Field = field;
  FFailure.Value.assign(value);
  FFailure.Message = std::move(message);
}

std::string_view TImportRun::ReportText() const {
  switch (FReportFrom) {
    case TReportFrom::Values:
      return FValues.FText;
    case TReportFrom::Copy:
      return FReportText;
    case TReportFrom::Nowhere:
      break;
  }
  return {};
}

void TImportRun::ReportFailure(std::int64_t line, std::string_view text) {
  TRecordError error;
  error.Record = FRecordCounter;
  error.Line = line;
  if (FProps.FReportRecordText) error.Text = text;
  const TDataSet* data = FProps.FDataSet;
  if (data != nullptr && FFailure.Field >= 0 && FFailure.Field < data->FieldCount()) {
    error.FieldName = data->Fields(FFailure.Field)->FieldName();
  }
  error.Value = FFailure.Value;
  error.Reason = FFailure.Reason;
  error.Message = std::move(FFailure.Message);
  FProps.FOnRecordError(&FOwner, error);
}

void TImportRun::RecordRejected(std::int64_t line, std::string_view text) {
  Increase(FErrorRecords);
  if (FProps.FOnRecordError) ReportFailure(line, text);
}

void TImportRun::RecordFailed(TRecordFault fault, std::int64_t line, std::string_view text) {
  // Nothing after the opening quote is stored as if it were whole.
  Increase(FErrorRecords);
  if (!FProps.FOnRecordError) return;
  switch (fault) {
    case rfUnclosedQuote:
      NoteFailure(rerUnclosedQuote, -1, {}, "a quote is never closed");
      break;
    case rfInvalidText:
      NoteFailure(rerInvalidText, -1, {}, RecordFaultReason(fault, line, text));
      break;
    default:
      NoteFailure(rerInvalidValue, -1, {}, "the record cannot be read");
      break;
  }
  ReportFailure(line, text);
}

void TImportRun::RefusedLater(TDataSet::TRefusals& refused) {
  FStoredRecords -= refused.Count;
  for (std::int64_t i = 0; i < refused.Count; ++i) {
    Increase(FErrorRecords);
    if (!FProps.FOnRecordError) continue;
    const auto at = static_cast<std::size_t>(i);
    TRecordError error;
    error.Reason = rerRefused;
    std::string text;  // error.Text's bytes
    if (at < refused.Posts.size()) {
      const TDataSet::TRefusedPost& post = refused.Posts[at];
      error.Message = post.Message;
      if (const std::optional<TPostedRecords::TRecord> record = FPosted.Find(post.Post)) {
        error.Record = record->Record;
        error.Line = record->Line;
        text = FPosted.Text(*record);
        error.Text = text;
      }
    } else {
      error.Message = at < refused.Messages.size() ? refused.Messages[at]
                                                   : std::string("refused by the database");
    }
    FProps.FOnRecordError(&FOwner, error);
  }
  for (std::string& message : refused.Messages) {
    if (FRefusalMessages.size() >= TDataSet::kRefusalMessagesKept) break;
    FRefusalMessages.push_back(std::move(message));
  }
}

void TImportRun::RecordPosted(std::int64_t line, std::string_view text) {
  const std::int64_t post = FProps.FDataSet->PostCount();
  const bool posted = post != FLastPost;
  FLastPost = post;
  TDataSet::TRefusals refused = FProps.FDataSet->TakeRefusals();
  const std::int64_t held = FProps.FDataSet->HeldPosts();
  // The record itself may be among those just refused: its Post can end
  // the dataset's batch.
  if (posted && (held > 0 || refused.Count > 0)) {
    FPosted.Keep(post, FRecordCounter, line, FProps.FReportRecordText ? text : std::string_view());
  }
  if (refused.Count > 0) RefusedLater(refused);
  FPosted.ForgetUpTo(post - held);
}

}  // namespace korvane
