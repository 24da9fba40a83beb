#include <sqlite3.h>

#include <iostream>

#include "cli/korvane_cli.h"

int main(int argc, char** argv) {
  // The command runs on one thread, so SQLite's own locks and its memory
  // statistics are pure overhead (about a tenth of a bulk import's time).
  // Both must be configured before SQLite initialises; journaling and
  // syncing stay as they are.
  sqlite3_config(SQLITE_CONFIG_SINGLETHREAD);
  sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
  return korvane::RunKorvane(argc, argv, std::cout, std::cerr);
}
