// Money and decimal edges through a database table: under strict values
// each value fails its record with a reason or comes back exact, never a
// third outcome; under lenient values each value stored either comes back
// exact or is counted as rounded.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <limits>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "data/db.h"
#include "export/kvcsvexp.h"
#include "import/kvcsvimp.h"
#include "tests/support/temp_dir.h"
#include "text/number_text.h"

namespace korvane::test {

inline constexpr const char* kNumberEdges[] = {
    "12.34",       "-0.5",           "12.3456",          "12.34567",
    "0.00005",     "-0.00015",       "12.345",           "123456789012345",
    "1234567890123456", "12345678901234567890", "12345678901234.5678", "0.1",
    "0.30000000000000004", "1e-7",   "-2.5e3",           "-99999999.99"};

// A number's value as sign, significant digits and the exponent of the last.
inline std::string CanonicalNumber(std::string_view text) {
  TNumberParts n;
  if (!ReadNumberText(text, nrExponent, '.', ',', n)) return "not a number: " + std::string(text);
  const std::size_t first = n.Digits.find_first_not_of('0');
  if (first == std::string::npos) return n.Negative ? "-0" : "0";
  const std::size_t last = n.Digits.find_last_not_of('0');
  const long exponent = n.Exponent + static_cast<long>(n.Digits.size() - 1 - last) -
                        static_cast<long>(n.Fraction().size());
  return (n.Negative ? "-" : "") + n.Digits.substr(first, last - first + 1) + "e" +
         std::to_string(exponent);
}

// Imports each edge into each of the columns 1.. of table (column 0 is an
// integer key; one value per record, the other columns empty) under
// valueErrors, then reads the table back and checks the outcomes.
inline void CheckNumberEdges(TDataSet& table, TValueErrors valueErrors, TTempDir& dir) {
  table.Open();
  const int columns = table.FieldCount();
  table.Close();
  std::string csv;
  for (int c = 1; c < columns; ++c) {
    for (std::size_t e = 0; e < std::size(kNumberEdges); ++e) {
      csv += std::to_string(c * 100 + static_cast<int>(e));
      for (int k = 1; k < columns; ++k) csv += k == c ? std::string(",") + kNumberEdges[e] : ",";
      csv += "\n";
    }
  }
  TCSVImport import(nullptr);
  import.SetDataSet(&table);
  import.SetFieldSeparator(fspComma);
  import.SetInputFile(dir.Put("edges.csv", csv));
  import.SetValueErrors(valueErrors);
  std::map<std::string, std::string> failed;  // key -> message
  import.SetOnRecordError([&failed](TObject*, const TRecordError& e) {
    const std::string text(e.Text);
    failed[text.substr(0, text.find(','))] = e.Message;
  });
  static_cast<void>(import.Execute());
  std::map<std::string, std::string> stored;  // key -> the value read back
  table.Close();
  table.Open();
  for (; !table.Eof(); table.Next()) {
    const std::string key = table.Fields(0)->AsString();
    const int c = std::stoi(key) / 100;
    stored[key] = table.Fields(c)->AsString();
  }
  const std::string columnNames = [&table] {
    std::string names;
    for (int c = 1; c < table.FieldCount(); ++c) names += table.Fields(c)->FieldName() + " ";
    return names;
  }();
  table.Close();
  std::int64_t inexact = 0;
  for (int c = 1; c < columns; ++c) {
    for (std::size_t e = 0; e < std::size(kNumberEdges); ++e) {
      const std::string key = std::to_string(c * 100 + static_cast<int>(e));
      const std::string edge = kNumberEdges[e];
      SCOPED_TRACE("column " + std::to_string(c) + " of " + columnNames + ": " + edge);
      const bool isStored = stored.contains(key);
      EXPECT_NE(isStored, failed.contains(key));
      // Forgiving values leave a value that does not convert empty, and
      // read money by its digits, '-' and '.' alone: no rounding either.
      if (valueErrors == veLenient && (stored[key].empty() || edge.find('e') != std::string::npos)) {
        continue;
      }
      if (isStored && CanonicalNumber(stored[key]) != CanonicalNumber(edge)) {
        ++inexact;
        EXPECT_EQ(valueErrors, veLenient) << "stored as " << stored[key];
      }
      if (failed.contains(key)) {
        EXPECT_FALSE(failed[key].empty());
      }
      // The plain values fit every column.
      if (e < 2) {
        EXPECT_TRUE(isStored) << failed[key];
      }
    }
  }
  if (valueErrors == veLenient) {
    EXPECT_LE(inexact, import.RoundedValues());
  }
}

// Doubles of every kind, the same in every run: zeros, the extremes,
// subnormals, values of 17 significant digits and random bit patterns.
inline std::vector<double> SampleDoubles() {
  std::vector<double> values = {0.0,
                                -0.0,
                                1e308,
                                -1e308,
                                std::numeric_limits<double>::max(),
                                std::numeric_limits<double>::min(),
                                std::numeric_limits<double>::denorm_min(),
                                0.1,
                                0.30000000000000004,
                                1.0 / 3,
                                -2.5e-7,
                                123456789012345678.0};
  std::mt19937_64 random(34);
  for (int i = 0; i < 60; ++i) {
    // Subnormals: a zero exponent.
    values.push_back(std::bit_cast<double>(random() & 0x800FFFFFFFFFFFFFull));
    // Seventeen digits, any exponent a double holds.
    const std::string text = std::to_string(10000000000000000ull + random() % 90000000000000000ull) +
                             "e" + std::to_string(static_cast<int>(random() % 600) - 316);
    double value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    values.push_back(value);
    double bits = std::bit_cast<double>(random());
    if (std::isfinite(bits)) values.push_back(bits);
  }
  return values;
}

// Python's repr of each value, the shortest text that reads back as it,
// and with single the shortest text of the value as a 4-byte float (the
// fewest %g digits that read back as the float; "" where the float
// overflows): a writer of its own to hold ours against. Python reads the
// values from their bits.
inline std::vector<std::string> PythonTexts(const std::vector<double>& values, bool single,
                                            TTempDir& dir) {
  std::string bits;
  for (const double v : values) bits += std::to_string(std::bit_cast<std::uint64_t>(v)) + "\n";
  const std::string script = dir.Put(
      "texts.py",
      "import struct, sys\n"
      "def f32(x):\n"
      "    try: return struct.unpack('<f', struct.pack('<f', x))[0]\n"
      "    except OverflowError: return None\n"
      "def short32(x):\n"
      "    f = f32(x)\n"
      "    if f is None: return ''\n"
      "    return next(t for t in ('%.*g' % (p, f) for p in range(1, 10)) if f32(float(t)) == f)\n"
      "for line in open(sys.argv[1]):\n"
      "    x = struct.unpack('<d', struct.pack('<Q', int(line)))[0]\n"
      "    print(short32(x) if sys.argv[2] == 'single' else repr(x))\n");
  const std::string command =
      "python3 " + script + " " + dir.Put("bits.txt", bits) + " " + (single ? "single" : "double");
  FILE* python = ::popen(command.c_str(), "r");
  std::vector<std::string> texts;
  if (python == nullptr) return texts;
  std::string printed;
  char chunk[4096];
  while (const std::size_t n = std::fread(chunk, 1, sizeof chunk, python)) printed.append(chunk, n);
  EXPECT_EQ(::pclose(python), 0) << printed;
  std::istringstream lines(printed);
  for (std::string line; std::getline(lines, line);) texts.push_back(line);
  EXPECT_EQ(texts.size(), values.size()) << printed;
  return texts;
}

// Imports csv into table under strict values; the messages of the records
// that failed.
inline std::vector<std::string> ImportStrict(TDataSet& table, const std::string& csv,
                                             TTempDir& dir) {
  TCSVImport import(nullptr);
  import.SetDataSet(&table);
  import.SetFieldSeparator(fspComma);
  import.SetInputFile(dir.Put("in.csv", csv));
  import.SetValueErrors(veStrict);
  std::vector<std::string> failed;
  import.SetOnRecordError([&failed](TObject*, const TRecordError& e) {
    failed.push_back(std::string(e.Text) + ": " + e.Message);
  });
  static_cast<void>(import.Execute());
  return failed;
}

// The lines of an export of every field of data, comma-separated, with
// quotes where the standard rules want them.
inline std::vector<std::string> ExportedLines(TDataSet& data, TTempDir& dir) {
  TCSVExport exporter(nullptr);
  exporter.SetDataSet(&data);
  exporter.SetOutputFile(dir.Path("doubles.csv"));
  exporter.SetFieldSeparator(fspComma);
  exporter.SetFieldDelimiter(fdlDouble);
  exporter.SetDialect(dlStandard);
  exporter.SetWholeValues(true);
  exporter.SetDelimitedFields(dfTextOnly);
  exporter.SetRecordSeparator(rsLF);
  static_cast<void>(exporter.Execute());
  std::ifstream in(dir.Path("doubles.csv"));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace korvane::test
