#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <variant>

#include "store/ADO.h"

namespace tessel {

// One column of a table and the field of the record type that holds it: the one place where a
// store says how its rows map to its records, for reading and for writing alike.
template <class Record>
struct RecordColumn {
  const char* name;
  std::variant<std::string Record::*, int Record::*> field;
};

// Fills record from the current row of rs, column by column.
template <class Record>
void ReadRecordColumns(CADO::CADORecordset& rs, std::span<const RecordColumn<Record>> columns,
                       Record& record) {
  for (const RecordColumn<Record>& column : columns) {
    std::visit([&](auto member) { rs.GetFieldValue(column.name, record.*member); }, column.field);
  }
}

// The record's fields in column order, ready to bind. Empty text is bound as NULL, as the
// stores have always written it.
template <class Record>
SqlValues RecordValues(std::span<const RecordColumn<Record>> columns, const Record& record) {
  SqlValues values;
  values.reserve(columns.size());
  for (const RecordColumn<Record>& column : columns) {
    if (const auto* text = std::get_if<std::string Record::*>(&column.field)) {
      const std::string& value = record.**text;
      values.push_back(value.empty() ? SqlValue() : SqlValue(value));
    } else {
      values.push_back(static_cast<std::int64_t>(record.*std::get<int Record::*>(column.field)));
    }
  }
  return values;
}

// "insert into <table> (<every column>) values (?, ...)": binds RecordValues.
template <class Record>
std::string InsertStatement(const char* table, std::span<const RecordColumn<Record>> columns) {
  std::string names, marks;
  for (const RecordColumn<Record>& column : columns) {
    names += std::string(names.empty() ? "" : ", ") + column.name;
    marks += marks.empty() ? "?" : ", ?";
  }
  return std::string("insert into ") + table + " (" + names + ") values (" + marks + ")";
}

// "update <table> set <every column> = ?, ... where <key> = ?": binds RecordValues and then the
// key of the row to change.
template <class Record>
std::string UpdateStatement(const char* table, std::span<const RecordColumn<Record>> columns,
                            const char* key) {
  std::string assignments;
  for (const RecordColumn<Record>& column : columns)
    assignments += std::string(assignments.empty() ? "" : ", ") + column.name + " = ?";
  return std::string("update ") + table + " set " + assignments + " where " + key + " = ?";
}

}  // namespace tessel
