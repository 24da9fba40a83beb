// The backslash escapes that JSON strings and PostgreSQL's COPY text
// share, written once for both.
#pragma once

#include <string>

namespace korvane {

// Appends the escape of c when it is a backslash, LF, CR or tab (\\, \n,
// \r, \t) and returns true; returns false, appending nothing, for any
// other byte.
inline bool AppendBackslashEscape(std::string& out, char c) {
  switch (c) {
    case '\\':
      out += "\\\\";
      return true;
    case '\n':
      out += "\\n";
      return true;
    case '\r':
      out += "\\r";
      return true;
    case '\t':
      out += "\\t";
      return true;
    default:
      return false;
  }
}

}  // namespace korvane
