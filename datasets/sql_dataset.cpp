#include "datasets/sql_dataset.h"

#include <algorithm>

#include "core/sysutils.h"

namespace korvane {

struct TSQLDataSet::TProps {
  std::string FTableName;
  std::string FQuery;
  bool FReadOnly = false;
  bool FCreateTable = false;
  std::unique_ptr<TStringList> FColumns = std::make_unique<TStringList>();
  std::int32_t FBulkCommitCount = 500000;
  TLoadMode FLoadMode = lmAppend;
  std::string FKeyFields;
  std::vector<TField*> FKeyFieldList;
};

TSQLDataSet::TSQLDataSet(TComponent* owner) : TDataSet(owner), FProps(std::make_unique<TProps>()) {}

TSQLDataSet::~TSQLDataSet() = default;

// Programs built against an earlier library allocate and derive from the
// class with the size they were compiled with.
static_assert(sizeof(TSQLDataSet) == sizeof(TDataSet) + sizeof(void*),
              "a property's value goes in TSQLDataSet::TProps");

const std::string& TSQLDataSet::TableName() const { return FProps->FTableName; }
const std::string& TSQLDataSet::Query() const { return FProps->FQuery; }
bool TSQLDataSet::ReadOnly() const { return FProps->FReadOnly; }
bool TSQLDataSet::CreateTable() const { return FProps->FCreateTable; }
TStrings* TSQLDataSet::Columns() const { return FProps->FColumns.get(); }
std::int32_t TSQLDataSet::BulkCommitCount() const { return FProps->FBulkCommitCount; }
void TSQLDataSet::SetBulkCommitCount(std::int32_t value) {
  FProps->FBulkCommitCount = value < 1 ? 1 : value;
}
TLoadMode TSQLDataSet::LoadMode() const { return FProps->FLoadMode; }
const std::string& TSQLDataSet::KeyFields() const { return FProps->FKeyFields; }
const std::vector<TField*>& TSQLDataSet::KeyFieldList() const { return FProps->FKeyFieldList; }
const TStringList& TSQLDataSet::ColumnList() const { return *FProps->FColumns; }
void TSQLDataSet::ForgetKey() { FProps->FKeyFieldList.clear(); }

void TSQLDataSet::CheckInactive(const char* property) const {
  if (Active()) {
    throw EDatabaseError(std::string("Cannot change ") + property + " while the dataset is open");
  }
}

void TSQLDataSet::CheckSource() const {
  if (FProps->FTableName.empty() == FProps->FQuery.empty()) {
    throw EDatabaseError(FProps->FTableName.empty() ? "Neither TableName nor Query is set"
                                                    : "Set either TableName or Query, not both");
  }
}

void TSQLDataSet::SetTableName(const std::string& value) {
  CheckInactive("TableName");
  FProps->FTableName = value;
}

void TSQLDataSet::SetQuery(const std::string& value) {
  CheckInactive("Query");
  FProps->FQuery = value;
}

void TSQLDataSet::SetReadOnly(bool value) {
  CheckInactive("ReadOnly");
  FProps->FReadOnly = value;
  ReadOnlyChanged();
}

void TSQLDataSet::SetCreateTable(bool value) {
  CheckInactive("CreateTable");
  FProps->FCreateTable = value;
}

void TSQLDataSet::SetColumns(const TStrings* value) {
  if (value) {
    FProps->FColumns->Assign(*value);
  } else {
    FProps->FColumns->Clear();
  }
}

void TSQLDataSet::SetLoadMode(TLoadMode value) {
  CheckInactive("LoadMode");
  FProps->FLoadMode = value;
}

void TSQLDataSet::SetKeyFields(const std::string& value) {
  CheckInactive("KeyFields");
  FProps->FKeyFields = value;
}

namespace {

std::string NameList(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

bool SameColumns(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  if (a.size() != b.size()) return false;
  return std::all_of(a.begin(), a.end(), [&b](const std::string& name) {
    return std::any_of(b.begin(), b.end(),
                       [&name](const std::string& other) { return SameText(name, other); });
  });
}

}  // namespace

void TSQLDataSet::ChooseKey(const std::vector<std::string>& primaryKey,
                            const std::vector<std::vector<std::string>>& uniqueKeys) {
  FProps->FKeyFieldList.clear();
  if (!IsKeyedLoad(FProps->FLoadMode)) return;
  const std::string mode(kLoadModeNames[FProps->FLoadMode]);
  std::vector<std::string> key;
  if (!IsBlank(FProps->FKeyFields)) {
    std::vector<std::string> names;
    std::string fault;
    if (!SplitNames(FProps->FKeyFields, names, fault)) {
      throw EDatabaseError("KeyFields '" + FProps->FKeyFields + "': " + fault);
    }
    for (const std::string& name : names) {
      if (FindField(name) == nullptr) {
        std::vector<std::string> columns;
        for (const TField* field : Fields()) columns.push_back(field->FieldName());
        const std::string nearest = NearestWord(name, columns, true);
        throw EDatabaseError("KeyFields: '" + name + "' is not a column of table '" +
                             FProps->FTableName + "'" +
                             (nearest.empty() ? "" : " (nearest: '" + nearest + "')") +
                             " (its columns: " + NameList(columns) + ")");
      }
      key.push_back(FindField(name)->FieldName());
    }
    const bool unique =
        SameColumns(key, primaryKey) ||
        std::any_of(uniqueKeys.begin(), uniqueKeys.end(),
                    [&key](const std::vector<std::string>& u) { return SameColumns(key, u); });
    if (!unique) {
      throw EDatabaseError(mode + " matches rows by " + NameList(key) + ", but table '" +
                           FProps->FTableName +
                           "' has no primary key or unique key of exactly these columns, so two "
                           "rows could hold that key (add a unique key, or name one in "
                           "KeyFields)");
    }
  } else if (!primaryKey.empty()) {
    key = primaryKey;
  } else if (uniqueKeys.size() == 1) {
    key = uniqueKeys.front();
  } else if (uniqueKeys.empty()) {
    throw EDatabaseError(mode + " matches rows by a key, but table '" + FProps->FTableName +
                         "' has neither a primary key nor a unique key: name the key columns "
                         "in KeyFields");
  } else {
    std::string keys;
    for (const auto& u : uniqueKeys) keys += (keys.empty() ? "(" : ", (") + NameList(u) + ")";
    throw EDatabaseError(mode + " matches rows by a key, but table '" + FProps->FTableName +
                         "' has no primary key and several unique keys, " + keys +
                         ": name the key columns in KeyFields");
  }
  for (const std::string& name : key) FProps->FKeyFieldList.push_back(FindField(name));
}

void TSQLDataSet::CheckKeyValues(const TFieldData* record,
                                 const std::vector<bool>& autoIncrement) const {
  for (const TField* field : FProps->FKeyFieldList) {
    const auto i = static_cast<std::size_t>(field->Index());
    if (IsNull(record[i]) && !autoIncrement[i]) {
      throw EDatabaseError("key column '" + field->FieldName() +
                           "' is empty: the record cannot be matched to a row");
    }
  }
}

bool TSQLDataSet::CanModify() const { return !FProps->FReadOnly && FProps->FQuery.empty(); }

}  // namespace korvane
