#include "datasets/sql_dataset.h"

#include <algorithm>

#include "core/sysutils.h"

namespace korvane {

TSQLDataSet::TSQLDataSet(TComponent* owner)
    : TDataSet(owner), FColumns(std::make_unique<TStringList>()) {}

TSQLDataSet::~TSQLDataSet() = default;

void TSQLDataSet::CheckInactive(const char* property) const {
  if (Active()) {
    throw EDatabaseError(std::string("Cannot change ") + property + " while the dataset is open");
  }
}

void TSQLDataSet::CheckSource() const {
  if (FTableName.empty() == FQuery.empty()) {
    throw EDatabaseError(FTableName.empty() ? "Neither TableName nor Query is set"
                                            : "Set either TableName or Query, not both");
  }
}

void TSQLDataSet::SetTableName(const std::string& value) {
  CheckInactive("TableName");
  FTableName = value;
}

void TSQLDataSet::SetQuery(const std::string& value) {
  CheckInactive("Query");
  FQuery = value;
}

void TSQLDataSet::SetReadOnly(bool value) {
  CheckInactive("ReadOnly");
  FReadOnly = value;
  ReadOnlyChanged();
}

void TSQLDataSet::SetCreateTable(bool value) {
  CheckInactive("CreateTable");
  FCreateTable = value;
}

void TSQLDataSet::SetColumns(const TStrings* value) {
  if (value) {
    FColumns->Assign(*value);
  } else {
    FColumns->Clear();
  }
}

void TSQLDataSet::SetLoadMode(TLoadMode value) {
  CheckInactive("LoadMode");
  FLoadMode = value;
}

void TSQLDataSet::SetKeyFields(const std::string& value) {
  CheckInactive("KeyFields");
  FKeyFields = value;
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
  FKeyFieldList.clear();
  if (!IsKeyedLoad(FLoadMode)) return;
  const std::string mode(kLoadModeNames[FLoadMode]);
  std::vector<std::string> key;
  if (!IsBlank(FKeyFields)) {
    std::size_t start = 0;
    while (start <= FKeyFields.size()) {
      std::size_t comma = FKeyFields.find(',', start);
      if (comma == std::string::npos) comma = FKeyFields.size();
      const std::string name = Trim(FKeyFields.substr(start, comma - start));
      if (name.empty()) {
        throw EDatabaseError("KeyFields '" + FKeyFields + "' holds an empty name");
      }
      if (FindField(name) == nullptr) {
        std::vector<std::string> columns;
        for (const TField* field : Fields()) columns.push_back(field->FieldName());
        throw EDatabaseError("KeyFields: '" + name + "' is not a column of table '" + FTableName +
                             "' (its columns: " + NameList(columns) + ")");
      }
      key.push_back(FindField(name)->FieldName());
      start = comma + 1;
    }
    const bool unique =
        SameColumns(key, primaryKey) ||
        std::any_of(uniqueKeys.begin(), uniqueKeys.end(),
                    [&key](const std::vector<std::string>& u) { return SameColumns(key, u); });
    if (!unique) {
      throw EDatabaseError(mode + " matches rows by " + NameList(key) + ", but table '" +
                           FTableName +
                           "' has no primary key or unique key of exactly these columns, so two "
                           "rows could hold that key (add a unique key, or name one in "
                           "KeyFields)");
    }
  } else if (!primaryKey.empty()) {
    key = primaryKey;
  } else if (uniqueKeys.size() == 1) {
    key = uniqueKeys.front();
  } else if (uniqueKeys.empty()) {
    throw EDatabaseError(mode + " matches rows by a key, but table '" + FTableName +
                         "' has neither a primary key nor a unique key: name the key columns "
                         "in KeyFields");
  } else {
    std::string keys;
    for (const auto& u : uniqueKeys) keys += (keys.empty() ? "(" : ", (") + NameList(u) + ")";
    throw EDatabaseError(mode + " matches rows by a key, but table '" + FTableName +
                         "' has no primary key and several unique keys, " + keys +
                         ": name the key columns in KeyFields");
  }
  for (const std::string& name : key) FKeyFieldList.push_back(FindField(name));
}

void TSQLDataSet::CheckKeyValues(const TFieldData* record,
                                 const std::vector<bool>& autoIncrement) const {
  for (const TField* field : FKeyFieldList) {
    const auto i = static_cast<std::size_t>(field->Index());
    if (IsNull(record[i]) && !autoIncrement[i]) {
      throw EDatabaseError("key column '" + field->FieldName() +
                           "' is empty: the record cannot be matched to a row");
    }
  }
}

bool TSQLDataSet::CanModify() const { return !FReadOnly && FQuery.empty(); }

}  // namespace korvane
