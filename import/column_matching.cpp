// TCSVImport: which field each value of a record goes to (ColumnMatching),
// decided once per run.
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "components/fixed_widths.h"
#include "core/sysutils.h"
#include "import/kvcsvimp.h"
#include "import/import_run.h"

namespace korvane {

namespace {

std::string Quoted(std::string_view name) { return std::string("\"").append(name).append("\""); }

std::string JoinNames(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& n : names) text += (text.empty() ? "" : ", ") + n;
  return text;
}

// The end of a message that names the dataset's fields; a dataset with none
// (a memory dataset given no field definitions) is said to have none.
std::string ItsFields(const std::vector<std::string>& names) {
  return names.empty() ? "; the dataset has no fields" : "; its fields are " + JoinNames(names);
}

// The field of fieldNames that name names: the one of the same name, else,
// when loose, the one of the same loose name (SameLooseName). -1 when none
// does; -2 when several do loosely, their indexes then in like.
int FieldNamed(const std::vector<std::string>& fieldNames, std::string_view name, bool loose,
               std::vector<std::size_t>& like) {
  like.clear();
  for (std::size_t f = 0; f < fieldNames.size(); ++f) {
    if (SameText(name, fieldNames[f])) return static_cast<int>(f);
  }
  if (!loose) return -1;
  for (std::size_t f = 0; f < fieldNames.size(); ++f) {
    if (SameLooseName(name, fieldNames[f])) like.push_back(f);
  }
  if (like.empty()) return -1;
  return like.size() == 1 ? static_cast<int>(like.front()) : -2;
}

}  // namespace

int TCSVImport::FieldNamedBy(std::string_view name) const {
  if (FProps->FDataSet == nullptr) return -1;
  std::vector<std::string> fieldNames;
  for (const TField* f : FProps->FDataSet->Fields()) fieldNames.push_back(f->FieldName());
  std::vector<std::size_t> like;
  return FieldNamed(fieldNames, Trim(name), FProps->FLooseColumnNames, like);
}

std::vector<int> TImportRun::FieldsTakingPart() const {
  std::vector<int> taking;
  if (FProps.FDataSet == nullptr) return taking;
  for (const TField* f : FProps.FDataSet->Fields()) {
    if (FieldInFieldList(FProps.FFieldListAction, FProps.FFieldList.get(), f->FieldName())) {
      taking.push_back(f->Index());
    }
  }
  return taking;
}

bool TImportRun::LayFixedColumns(const std::vector<int>& order) {
  FColumnSlices.clear();
  std::vector<int> widths;
  if (!FixedWidthsForColumns(FProps.FFixedWidths, order.size(), "column", widths, FColumnFault)) {
    return false;
  }
  const std::vector<TField*>& fields = FProps.FDataSet->Fields();
  for (std::size_t k = 0; k < order.size(); ++k) {
    const TField* field = order[k] >= 0 ? fields[static_cast<std::size_t>(order[k])] : nullptr;
    if (widths.empty() && field == nullptr) {
      FColumnFault = "value " + std::to_string(k + 1) +
                     " goes to no field to take its width from: FixedWidths gives the widths";
      FColumnSlices.clear();
      return false;
    }
    const int width = widths.empty() ? FixedWidth(*field, FProps.FDateTimeStyle) : widths[k];
    FColumnSlices.push_back(
        {static_cast<std::size_t>(width), field != nullptr && IsTextFieldType(field->DataType())});
  }
  return true;
}

bool TImportRun::CutHeaderByNames(std::string_view header, std::vector<int>& order) {
  const std::vector<TField*>& fields = FProps.FDataSet->Fields();
  std::vector<int> widths;
  for (const TField* f : fields) widths.push_back(FixedWidth(*f, FProps.FDateTimeStyle));
  std::vector<std::string> fieldNames;
  for (const TField* f : fields) fieldNames.push_back(f->FieldName());
  // Loosely, a column is cut for the field its name names as MatchNames
  // takes it, or for any of those it loosely names, and a field may be cut
  // twice: MatchNames then says which names are several fields' or name
  // one twice.
  const bool loose = FProps.FLooseColumnNames;
  std::vector<std::size_t> like;
  const auto isNamed = [&](std::string_view name, std::size_t f) {
    if (!loose) return SameText(name, fieldNames[f]);
    const int named = FieldNamed(fieldNames, name, true, like);
    return named == static_cast<int>(f) ||
           (named == -2 && std::find(like.begin(), like.end(), f) != like.end());
  };
  std::vector<bool> used(fields.size(), false);
  std::size_t reached = 0;
  // Cuts header from pos on into the columns of fields not yet used (of
  // any field, loosely); a name may begin another's, so a cut that leaves the rest uncut is undone.
  const auto cut = [&](const auto& self, std::size_t pos) -> bool {
    reached = std::max(reached, pos);
    if (pos >= header.size() || IsBlank(header.substr(pos))) return !order.empty();
    for (std::size_t f = 0; f < fields.size(); ++f) {
      if (used[f] && !loose) continue;
      TFixedColumnCutter cutter(header.substr(pos), FProps.FFixedWidthUnit);
      const std::string_view slice = cutter.Next(static_cast<std::size_t>(widths[f]));
      if (!isNamed(Trim(slice), f)) continue;
      const bool before = used[f];
      used[f] = true;
      order.push_back(static_cast<int>(f));
      if (self(self, pos + cutter.Position())) return true;
      order.pop_back();
      used[f] = before;
    }
    return false;
  };
  if (cut(cut, 0)) return true;
  std::string names;
  for (const TField* f : fields) names += (names.empty() ? "" : ", ") + f->FieldName();
  const std::string_view rest = header.substr(reached);
  const bool characters = FProps.FFixedWidthUnit == fuCharacters;
  FColumnFault =
      "the header record names no field in its column at " +
      std::string(characters ? "character " : "byte ") +
      std::to_string(FixedTextWidth(header.substr(0, reached), FProps.FFixedWidthUnit) + 1) + " (" +
      Quoted(rest.substr(0, rest.find(' '))) + "); its fields are " + names +
      ", each as wide as FixedWidth gives: FixedWidths gives the widths of other "
      "columns";
  return false;
}

bool TImportRun::MatchColumns() {
  FValueFields.clear();
  FColumnFault.clear();
  FUnknownColumns.clear();
  FLooseColumns.clear();
  FColumnsLaid = false;
  const bool columns = FProps.FImportType == impFixed && FProps.FFixedLayout == flColumns;
  if (!columns) return MatchNames();
  // A header record is cut as the fields that take part lie in the
  // dataset; the values then too, but where FieldList names their fields.
  // Matched by name, the header lays the columns out in the file's order:
  // cut by FixedWidths where given, else where each field's name stands.
  const std::vector<int> taking = FieldsTakingPart();
  std::vector<int> order = taking;
  const std::string_view header =
      FProps.FColumnMatching == cmByHeaderName && FProps.FHeaderData->Count() > 0
          ? std::string_view(FProps.FHeaderData->Strings(FProps.FHeaderData->Count() - 1))
          : std::string_view();
  if (!IsBlank(header)) {
    std::vector<int> widths;
    std::string fault;
    order.clear();
    if (!FProps.FFixedWidths.empty()) {
      if (ParseFixedWidths(FProps.FFixedWidths, widths, fault)) order.assign(widths.size(), -1);
    } else if (!CutHeaderByNames(header, order)) {
      return false;
    }
  }
  if (!LayFixedColumns(order)) return false;
  FColumnsLaid = true;
  if (!MatchNames() ||
      (FProps.FColumnMatching == cmByFieldList && !LayFixedColumns(FValueFields))) {
    FValueFields.clear();
    FColumnsLaid = false;
    return false;
  }
  // The values are those of the fields taking part, not one a field.
  const std::vector<TField*>& fields = FProps.FDataSet->Fields();
  if (FValueFields.empty() && taking.size() != fields.size()) FValueFields = taking;
  for (std::size_t v = 0; v < FColumnSlices.size(); ++v) {
    const int f = FValueFields.empty() ? static_cast<int>(v)
                  : v < FValueFields.size() ? FValueFields[v]
                                            : -1;
    FColumnSlices[v].Text =
        f >= 0 && IsTextFieldType(fields[static_cast<std::size_t>(f)]->DataType());
  }
  return true;
}

bool TImportRun::MatchNames() {
  TCSVImport& o = FOwner;
  std::vector<std::string> names;
  std::string from;
  if (FProps.FColumnMatching == cmByHeaderName) {
    if (FProps.FHeaderData->Count() == 0) return true;  // no header record: by position
    TValueList header;
    // A blank header record names no columns: its list stays empty.
    const TStrings& headers = *FProps.FHeaderData;
    static_cast<void>(o.SplitFieldsInto(headers.Strings(headers.Count() - 1), header));
    for (int i = 0; i < header.Count(); ++i) names.push_back(Trim(header[i]));
    from = "the header record";
  } else if (FProps.FColumnMatching == cmByFieldList) {
    for (int i = 0; i < FProps.FFieldList->Count(); ++i)
      names.push_back(Trim(FProps.FFieldList->Strings(i)));
    from = "FieldList";
    if (FProps.FFieldListAction == flaExclude) return MatchAllBut(names);
    if (names.empty()) {
      FColumnFault = "FieldList names no fields for the values";
      return false;
    }
  } else {
    return true;
  }
  const std::vector<TField*>& fields = FProps.FDataSet->Fields();
  std::vector<std::string> fieldNames;
  for (const TField* f : fields) fieldNames.push_back(f->FieldName());
  const bool filtered =
      FProps.FColumnMatching == cmByHeaderName &&
      (FProps.FFieldListAction == flaInclude || FProps.FFieldListAction == flaExclude);
  const bool loose = FProps.FLooseColumnNames && FProps.FColumnMatching == cmByHeaderName;
  std::vector<int> firstValue(fields.size(), -1);
  std::vector<std::size_t> like;
  std::string twice;
  std::string several;
  for (std::size_t v = 0; v < names.size(); ++v) {
    const std::string& name = names[v];
    // A name the list leaves out is skipped, whether or not it names a field.
    int field = filtered &&
                        !FieldInFieldList(FProps.FFieldListAction, FProps.FFieldList.get(), name)
                    ? -3
                    : FieldNamed(fieldNames, name, loose, like);
    if (field == -1 && !FProps.FSkipUnknownColumns) FUnknownColumns.push_back(name);
    if (field == -2 && several.empty()) {
      several = Quoted(name) + " loosely names several fields: ";
      for (std::size_t k = 0; k < like.size(); ++k) {
        several += (k == 0 ? "" : ", ") + Quoted(fieldNames[like[k]]);
      }
    }
    if (field >= 0) {
      const auto f = static_cast<std::size_t>(field);
      if (!SameText(name, fieldNames[f])) FLooseColumns.emplace_back(name, fieldNames[f]);
      int& first = firstValue[f];
      if (first >= 0 && twice.empty()) {
        twice = Quoted(fieldNames[f]) + " (values " + std::to_string(first + 1) + " and " +
                std::to_string(v + 1) + ") twice";
        // Loosely, under two spellings: both said.
        const std::string& firstName = names[static_cast<std::size_t>(first)];
        if (!SameText(firstName, name)) twice += ", as " + Quoted(firstName) + " and " + Quoted(name);
      }
      if (first < 0) first = static_cast<int>(v);
    }
    FValueFields.push_back(field < 0 ? -1 : field);
  }
  if (!FUnknownColumns.empty()) {
    std::string list;
    for (const std::string& name : FUnknownColumns) {
      list += (list.empty() ? "" : ", ") + Quoted(name);
      const std::string nearest = NearestWord(name, fieldNames, true);
      if (!nearest.empty()) list += " (nearest: " + Quoted(nearest) + ")";
    }
    FColumnFault = from + " names " +
                   (FUnknownColumns.size() == 1 ? "a field" : std::string("fields")) +
                   " the dataset does not have: " + list + ItsFields(fieldNames);
  } else if (!several.empty()) {
    FColumnFault = from + "'s " + several + "; name one of them exactly";
  } else if (!twice.empty()) {
    FColumnFault = from + " names the field " + twice;
  }
  if (!FColumnFault.empty()) {
    FValueFields.clear();
    FLooseColumns.clear();
    return false;
  }
  // Every field named in its own place: the values go by position, on the
  // way every record took before names were matched.
  bool inOrder = FValueFields.size() == fields.size();
  for (std::size_t v = 0; inOrder && v < FValueFields.size(); ++v) {
    inOrder = FValueFields[v] == static_cast<int>(v);
  }
  if (inOrder && !filtered) FValueFields.clear();
  return true;
}

bool TImportRun::RefuseReadOnlyValues() {
  if (!FProps.FRefuseReadOnlyFields || FProps.FDataSet == nullptr) return true;
  const std::vector<TField*>& fields = FProps.FDataSet->Fields();
  std::vector<int> filled = FValueFields.empty() ? FieldsTakingPart() : FValueFields;
  // In the fields' order (by position, or all but FieldList's), a record
  // fills as many fields as it has values: the header record tells how
  // many; without one each record says so itself.
  const TStrings& headers = *FProps.FHeaderData;
  const TColumnMatching matching = FProps.FColumnMatching;
  if (!FColumnsLaid &&
      (matching == cmByPosition || (matching == cmByHeaderName && headers.Count() == 0) ||
       (matching == cmByFieldList && FProps.FFieldListAction == flaExclude))) {
    if (headers.Count() == 0) return true;
    TValueList header;
    static_cast<void>(FOwner.SplitFieldsInto(headers.Strings(headers.Count() - 1), header));
    filled.resize(std::min(filled.size(), static_cast<std::size_t>(header.Count())));
  }
  std::string list;
  for (const int f : filled) {
    if (f < 0 || !fields[static_cast<std::size_t>(f)]->ReadOnly()) continue;
    FReadOnlyColumns.push_back(fields[static_cast<std::size_t>(f)]->FieldName());
    list += (list.empty() ? "" : ", ") + Quoted(FReadOnlyColumns.back());
  }
  if (FReadOnlyColumns.empty()) return true;
  FColumnFault = "the file's values would go to " +
                 std::string(FReadOnlyColumns.size() == 1 ? "a field" : "fields") +
                 " that cannot be modified (generated or read-only): " + list +
                 "; leave their values out";
  FValueFields.clear();
  FLooseColumns.clear();
  return false;
}

bool TImportRun::MatchAllBut(const std::vector<std::string>& names) {
  const std::vector<TField*>& fields = FProps.FDataSet->Fields();
  std::vector<std::string> fieldNames;
  for (const TField* f : fields) fieldNames.push_back(f->FieldName());
  std::string unknown;
  for (const std::string& name : names) {
    if (std::none_of(fieldNames.begin(), fieldNames.end(),
                     [&](const std::string& field) { return SameText(name, field); })) {
      if (!unknown.empty()) unknown += ", ";
      unknown += Quoted(name);
      const std::string nearest = NearestWord(name, fieldNames, true);
      if (!nearest.empty()) unknown += " (nearest: " + Quoted(nearest) + ")";
    }
  }
  if (!unknown.empty()) {
    FColumnFault =
        "FieldList leaves out fields the dataset does not have: " + unknown + ItsFields(fieldNames);
    return false;
  }
  for (const TField* f : fields) {
    if (FieldInFieldList(flaExclude, FProps.FFieldList.get(), f->FieldName())) {
      FValueFields.push_back(f->Index());
    }
  }
  if (FValueFields.empty()) {
    FColumnFault = "FieldList leaves out every field: no field takes the values";
    return false;
  }
  return true;
}

std::vector<std::string> TCSVImport::MatchedColumns() const {
  std::vector<std::string> names;
  if (FProps->FDataSet == nullptr) return names;
  const std::vector<TField*>& fields = FProps->FDataSet->Fields();
  if (!FRun->FValueFields.empty()) {
    for (int f : FRun->FValueFields) {
      names.push_back(f < 0 ? std::string() : fields[static_cast<std::size_t>(f)]->FieldName());
    }
    return names;
  }
  for (const TField* f : fields) {
    names.push_back(
        FieldInFieldList(FProps->FFieldListAction, FProps->FFieldList.get(), f->FieldName())
            ? f->FieldName()
            : std::string());
  }
  return names;
}

}  // namespace korvane
