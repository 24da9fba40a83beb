// The record plan's build: the columns of a run worked out once from the
// layout, the fields taking part and the format settings.
#include "export/record_plan.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <string>
#include <vector>

#include "text/formats_iso.h"
#include "core/sysutils.h"
#include "export/field_traits.h"

namespace korvane {

using namespace export_plan;

namespace {

// Whether LongTimeFormat's text of a time, with '.' and its milliseconds
// after it, reads back as that time.
bool TimeTextTakesMilliseconds() {
  const TDateTime probe = EncodeTime(13, 45, 10, 250);
  TDateTime back = 0;
  return TryStrToTime(TimeToStr(probe) + ".250", back) &&
         std::llround(back * 86400000.0) == std::llround(probe * 86400000.0);
}

}  // namespace

TRecordPlan::TRecordPlan(TExportOutput& output, TLeftOutLog* leftOut)
    : FOutput(output), FLeftOut(leftOut) {}

TRecordPlan::~TRecordPlan() = default;

void TRecordPlan::Build(const TExportLayout& layout) {
  FColumns.clear();
  FBuildFailure.clear();
  FFixed = layout.Fixed;
  FColumnsLayout = layout.Fixed && layout.Columns;
  FWidthUnit = layout.WidthUnit;
  FRecordSeparator = layout.RecordSeparator;
  std::fill(std::begin(FLineEnd), std::end(FLineEnd), '\0');
  FRecordSeparator.copy(FLineEnd, sizeof FLineEnd);
  FDataSet = layout.DataSet;
  if (FDataSet == nullptr) return;  // no line at all
  FSeparator = layout.Separator;
  FMultiSeparator.assign(layout.SeparatorText.size() > 1 ? layout.SeparatorText
                                                         : std::string_view());
  FQuote = layout.Quote;
  FRightNumbers = layout.NumericAlign == naRight;
  FDecimalSeparator = FormatSettings().DecimalSeparator;
  FWhole = layout.WholeValues;
  FIso = layout.Iso;
  FUtc = layout.Utc;
  FStandard = layout.Standard && !FFixed && FQuote != 0;
  FEscape = layout.Standard && !FFixed ? layout.Escape : 0;
  FCheckUnquoted = layout.CheckUnquoted && !FFixed && FQuote == 0;
  FUnquotedStops[2] = FSeparator;
  FOtherValue = false;
  FTimeTakesMilliseconds = FWhole && TimeTextTakesMilliseconds();
  std::uint8_t quoted = 0;
  if (FQuote != 0) quoted = layout.DelimitedFields == dfTextOnly ? ttText : ttAny;
  try {
    for (TField* field : FDataSet->Fields()) {
      if (layout.FieldListAction != flaNone &&
          !FieldInFieldList(layout.FieldListAction, layout.FieldList, field->FieldName())) {
        continue;
      }
      AddColumn(field, quoted);
    }
  } catch (const std::exception& e) {
    // Every line empty: each record is left out, for this reason.
    FColumns.clear();
    FBuildFailure = std::string("its fields cannot be laid out: ") + e.what();
    return;
  }
  if (FColumnsLayout && !SetColumnWidths(layout)) {
    FColumns.clear();
    return;
  }
  FCloseLength = !FColumns.empty() && FColumns.back().wrap ? 1 : 0;
  std::size_t rest = FRecordSeparator.size();
  for (auto column = FColumns.rbegin(); column != FColumns.rend(); ++column) {
    rest += column->rest;
    column->rest = rest;
  }
}

// Adds the column of a field taking part, with its own room in rest.
void TRecordPlan::AddColumn(TField* field, std::uint8_t quoted) {
  TColumn column{};
  column.field = field;
  column.index = static_cast<std::size_t>(field->Index());
  column.text = IsTextFieldType(field->DataType());
  std::uint8_t traits = kTypeTraits[field->DataType()];
  // Whole values leave nothing out: memos are texts, the rest hexadecimal.
  const bool hex = FWhole && (traits & ttOmitted) != 0 && (traits & ttText) == 0;
  if (FWhole) traits &= static_cast<std::uint8_t>(~ttOmitted);
  column.wrap = (traits & quoted) != 0;
  if (FStandard) {
    // The quotes are the value's own: the opening one is stored before the
    // value when the quote rule asks for it (values left out ask nothing),
    // and QuoteValue takes it back or adds the ones the text needs.
    column.askQuote = column.wrap && (traits & ttOmitted) == 0;
    column.wrap = false;
  }
  if (!FColumns.empty() && FColumns.back().wrap) column.open[column.openLength++] = FQuote;
  if (!FColumns.empty() && !FMultiSeparator.empty()) {
    for (const char c : FMultiSeparator) column.open[column.openLength++] = c;
  } else if (!FColumns.empty() && FSeparator != 0) {
    column.open[column.openLength++] = FSeparator;
  }
  if (column.wrap || column.askQuote) column.open[column.openLength++] = FQuote;
  if (FFixed && (traits & ttOmitted) == 0) {
    column.width = static_cast<std::size_t>(std::max(0, field->DisplayWidth()));
  }
  std::size_t room = 0;
  if (traits & ttOmitted) {
    column.kind = TColumnKind::ckNothing;  // never read
  } else if (traits & ttDateTime) {
    ChooseDateKind(column, room);
  } else {
    // Fields whose text comes from a handler or from a class of their own
    // are asked for it.
    // The kind of column, and the room its usual values are written in.
    const auto choose = [&column, &room](TColumnKind kind, std::size_t valueRoom) {
      column.kind = kind;
      room = valueRoom;
    };
    switch (field->OnGetText() ? tkOther : hex ? tkString : field->TextKind()) {
      case tkString:
        choose(hex ? TColumnKind::ckHex : TColumnKind::ckString, kShortText);
        break;
      case tkDecimalText:
        choose(TColumnKind::ckDecimalText, kShortText);
        break;
      case tkInteger:
        choose(TColumnKind::ckInteger, kIntegerTextRoom);
        break;
      case tkBoolean:
        choose(TColumnKind::ckBoolean, 8);  // written eight bytes at a time
        break;
      case tkFloat:
        choose(TColumnKind::ckFloat, kFloatRoom);
        if (FWhole && field->DataType() == ftBCD && field->Precision() > 0 && field->Scale() > 0) {
          column.scale = static_cast<std::uint16_t>(std::min(field->Scale(), 1000));
        }
        break;
      case tkCurrency:
        choose(TColumnKind::ckCurrency, kCurrencyTextRoom);
        break;
      default:
        choose(TColumnKind::ckField, 0);
        break;
    }
    column.pad = FFixed;
    // Laid out as columns, 64-bit integers are numbers like the others.
    const bool numeric =
        (traits & ttNumeric) != 0 || (FColumnsLayout && field->DataType() == ftLargeint);
    column.right = FFixed && FRightNumbers && numeric;
    if (column.right) room = std::max(room, kNumberRoom) + kRightAhead;
  }
  column.rest = kColumnRoom + room + column.width;
  column.scan = FStandard && UsualValuesMayNeedQuotes(column);
  FColumns.push_back(column);
}

// Numbers, booleans and dates through the plan's writer are made of digits
// and a few bytes known beforehand, which need no search value by value.
bool TRecordPlan::UsualValuesMayNeedQuotes(const TColumn& column) const {
  std::string bytes = "0123456789-";
  switch (column.kind) {
    case TColumnKind::ckNothing:
    case TColumnKind::ckString:  // short texts are searched as they are copied, the rest as others
    case TColumnKind::ckDecimalText:
      return false;
    case TColumnKind::ckInteger:
      break;
    case TColumnKind::ckBoolean:
      bytes = "TrueFals";
      break;
    case TColumnKind::ckCurrency:
      bytes += FDecimalSeparator;
      break;
    case TColumnKind::ckFloat:
      bytes += "EINAF";  // exponents, NAN and INF
      bytes += FDecimalSeparator;
      break;
    case TColumnKind::ckIsoDate:
    case TColumnKind::ckIsoTime:
    case TColumnKind::ckIsoDateTime:
      if (column.askDate) return true;
      bytes += " :.";
      break;
    case TColumnKind::ckDate: {
      if (column.askDate) return true;
      // Every date has the same bytes besides its digits.
      std::vector<char> text(FDates->Room());
      bytes.append(text.data(), FDates->Put(text.data(), EncodeDate(2001, 12, 31)));
      break;
    }
    default:
      return true;  // texts, and values asked of the field
  }
  return bytes.find(FQuote) != std::string::npos ||
         (FSeparator != 0 && bytes.find(FSeparator) != std::string::npos);
}

// Dates, times and date-times: delimited lines write the date part of dates
// and date-times and the time of times, from the value; fixed-width lines
// the field's text (for dates through the plan's writer, when the field is
// not asked for its text).
void TRecordPlan::ChooseDateKind(TColumn& column, std::size_t& room) {
  const TField& field = *column.field;
  const TFieldType type = field.DataType();
  column.askDate = field.TextKind() != tkDateTime;
  const bool ownText = FFixed && (field.OnGetText() || column.askDate);
  if (FIso && !field.OnGetText()) {
    column.pad = FFixed;
    column.kind = type == ftDate   ? TColumnKind::ckIsoDate
                  : type == ftTime ? TColumnKind::ckIsoTime
                                   : TColumnKind::ckIsoDateTime;
    room = kIsoTextRoom;
    return;
  }
  if (FWhole) {
    column.pad = FFixed;
    if (field.OnGetText()) {
      column.kind = TColumnKind::ckFieldDate;
      return;
    }
    if (type != ftDate) {
      column.kind = type == ftTime ? TColumnKind::ckWholeTime : TColumnKind::ckWholeDateTime;
      return;
    }
  }
  if (!FFixed && type == ftTime) {
    column.kind = TColumnKind::ckTime;
  } else if ((!FFixed || type == ftDate) && (!ownText || FWhole)) {
    if (!FDates || !FDates->Current()) FDates = std::make_unique<TDateWriter>();
    room = FDates->Room();
    column.kind = room > 0 ? TColumnKind::ckDate : TColumnKind::ckDateText;
  } else {
    column.kind = TColumnKind::ckFieldDate;
  }
}

bool TRecordPlan::WorksFromCopies() const {
  if (FColumns.empty()) return false;
  for (const TColumn& column : FColumns) {
    switch (column.kind) {
      case TColumnKind::ckNothing:
      case TColumnKind::ckString:
      case TColumnKind::ckDecimalText:
      case TColumnKind::ckInteger:
      case TColumnKind::ckBoolean:
      case TColumnKind::ckFloat:
      case TColumnKind::ckCurrency:
        break;
      case TColumnKind::ckDate:
      case TColumnKind::ckIsoDate:
      case TColumnKind::ckIsoTime:
      case TColumnKind::ckIsoDateTime:
        if (column.askDate) return false;
        break;
      default:
        // Times and dates without a table of their own are written by the
        // format settings of the moment or by the field.
        return false;
    }
  }
  return true;
}

void TRecordPlan::CopySlots(std::vector<TCopySlot>& slots) const {
  slots.clear();
  for (const TColumn& column : FColumns) {
    TValueKind own = vkNull;
    switch (column.kind) {
      case TColumnKind::ckString:
      case TColumnKind::ckDecimalText:
        own = vkText;
        break;
      case TColumnKind::ckInteger:
      case TColumnKind::ckCurrency:
        own = vkInteger;
        break;
      case TColumnKind::ckBoolean:
        own = vkBoolean;
        break;
      case TColumnKind::ckFloat:
      case TColumnKind::ckDate:
      case TColumnKind::ckIsoDate:
      case TColumnKind::ckIsoTime:
      case TColumnKind::ckIsoDateTime:
        own = vkFloat;
        break;
      default:
        break;  // nothing read (WorksFromCopies lets no other kind through)
    }
    slots.push_back({column.index, own});
  }
}

}  // namespace korvane
