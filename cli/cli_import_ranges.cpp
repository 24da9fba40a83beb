#include "cli/cli_import_ranges.h"

#include <atomic>
#include <chrono>
#include <exception>
#include <system_error>
#include <thread>
#include <utility>

#include "cli/cli_import_table.h"
#include "data/db_failure.h"
#include "text/formats_choice.h"

namespace korvane::cli {

namespace {

void SetFormats(TCSVImport& import, const TFormatChoice& choice) {
  import.SetShortDateFormat(choice.ShortDateFormat);
  import.SetLongTimeFormat(choice.LongTimeFormat);
  import.SetDateSeparator(choice.DateSeparator);
  import.SetTimeSeparator(choice.TimeSeparator);
  import.SetDecimalSeparator(choice.DecimalSeparator);
  import.SetThousandSeparator(choice.ThousandSeparator);
}

// The connections of the later ranges, opened each on a thread of its own:
// each costs a server process's start and a look at the table's catalog,
// which need not wait for one another or for the cut of the input.
class TOpening {
 public:
  TOpening(TComponent& root, const TDatabaseTable& table, std::size_t others) : FWhy(others) {
    for (std::size_t k = 0; k < others; ++k) FOthers.push_back(table.Another(root));
  }
  TOpening(const TOpening&) = delete;
  TOpening& operator=(const TOpening&) = delete;

  void Start() {
    for (std::size_t k = 0; k < FOthers.size(); ++k) {
      FThreads.emplace_back([this, k] {
        try {
          FOthers[k]->DataSet().Open();
        } catch (const std::exception& e) {
          FWhy[k] = e.what();
        }
      });
    }
  }

  // The tables that opened, at most wanted of them; with fewer, why says
  // how many connections (the command's own with them) and the reason of
  // one that could not be opened. The rest are closed.
  //
  // Those refused are asked for again one at a time, the first of them
  // after short pauses too: a server that counts a role's or a database's
  // connections counts each one still starting and each refused one until
  // its process has ended, so two opened side by side under a limit with
  // room for one can both be refused, and so can one asked for at once
  // after them.
  std::vector<std::unique_ptr<TDatabaseTable>> Wait(std::size_t wanted, std::string& why) {
    FThreads.clear();  // joins them
    std::vector<std::unique_ptr<TDatabaseTable>> tables;
    std::string failed;
    for (std::size_t k = 0; k < FOthers.size() && tables.size() < wanted; ++k) {
      if (FWhy[k].empty()) tables.push_back(std::move(FOthers[k]));
    }
    bool first = true;
    for (std::size_t k = 0; k < FOthers.size() && tables.size() < wanted; ++k) {
      if (FWhy[k].empty()) continue;
      const bool pause = std::exchange(first, false);
      if (failed.empty() && OpenAgain(k, pause)) {
        tables.push_back(std::move(FOthers[k]));
        continue;
      }
      if (failed.empty()) failed = FWhy[k];
    }
    if (tables.size() < wanted) {
      why = std::to_string(tables.size() + 1) + " of " + std::to_string(wanted + 1) +
            " connections could be opened (" + failed + ")";
    }
    Close();
    return tables;
  }

  // Opens the k-th again, after short pauses if asked when it is refused;
  // false keeps the last reason.
  bool OpenAgain(std::size_t k, bool pause) {
    using std::chrono::milliseconds;
    for (const milliseconds wait : {milliseconds(0), milliseconds(50), milliseconds(200)}) {
      if (wait.count() > 0) {
        if (!pause) break;
        std::this_thread::sleep_for(wait);
      }
      try {
        FOthers[k]->DataSet().Open();
        return true;
      } catch (const std::exception& e) {
        FWhy[k] = e.what();
      }
    }
    return false;
  }

  // Closes those not taken.
  void Close() {
    FThreads.clear();
    for (std::unique_ptr<TDatabaseTable>& other : FOthers) {
      if (other) other->DataSet().Close();
    }
  }

 private:
  std::vector<std::unique_ptr<TDatabaseTable>> FOthers;
  std::vector<std::string> FWhy;
  std::vector<std::jthread> FThreads;  // last: joined first
};

}  // namespace

// One range and what its run left. The first stands for the command's
// import, which the command runs, wires and reports itself.
struct TRangedImport::TPart {
  TCSVImport::TInputRange Range;
  std::unique_ptr<TDatabaseTable> Table;
  TCSVImport* Import = nullptr;  // owned by the root
  std::unique_ptr<TRejectReport> Report;
  struct TMessage {
    std::string Text;
    TMsgDlgType Type;
  };
  std::vector<TMessage> Messages;
  std::string Failure;
  std::int64_t RolledBack = 0;
  bool Damaged = false;
  std::int64_t Bytes = 0;
  std::thread Thread;
  // Its own run, kept before it is summed into the command's import.
  std::int64_t Stored = 0;
  bool Stopped = false;
  std::int64_t NextRecord = 0;
  std::int64_t NextLine = 0;
};

TRangedImport::TRangedImport(TCSVImport& main, std::size_t ranges) : FMain(main) {
  for (std::size_t k = 0; k < ranges; ++k) FParts.push_back(std::make_unique<TPart>());
}

TRangedImport::~TRangedImport() {
  StopAll();
  for (auto& part : FParts) {
    if (part->Thread.joinable()) part->Thread.join();
  }
}

std::unique_ptr<TRangedImport> TRangedImport::Plan(TComponent& root, TCSVImport& import,
                                                   TDatabaseTable& table, const TImportOptions& o,
                                                   std::int32_t jobs,
                                                   const TRejectReport::TOptions& rejects,
                                                   std::string& why) {
  why.clear();
  if (jobs == 0) jobs = table.AutoJobs();
  // The event log follows one import; the dates of a column of its own
  // layout are read through the process's format settings, which one run
  // changes while it reads them. A compressed file, standard input or a
  // text converted to UTF-8 are read from their start (CutInput): their
  // records are dealt out to the connections instead. So are those of a
  // keyed load, by key, so that the records of a key meet its row on one
  // connection, in the order of the file.
  if (jobs < 2 || !o.Events.empty() || import.ColumnFormats()->Count() > 0 ||
      IsKeyedLoad(ParseLoadMode(o.Mode))) {
    return nullptr;
  }
  std::string cut;
  // The connections open while the input is cut, once a look at its start
  // says that it can be (after a --start-record that look would read the
  // records skipped twice: they open after the cut).
  TOpening opening(root, table, static_cast<std::size_t>(jobs - 1));
  const bool early = import.StartRecord() <= 1 && !import.CutInput(1, cut).empty();
  if (early) opening.Start();
  std::vector<TCSVImport::TInputRange> ranges = import.CutInput(jobs, cut);
  if (ranges.size() < 2) {
    opening.Close();
    return nullptr;
  }
  if (!early) opening.Start();
  // A connection for each later range; with fewer, the file is cut again
  // for as many as there are.
  std::vector<std::unique_ptr<TDatabaseTable>> tables = opening.Wait(ranges.size() - 1, why);
  if (tables.size() + 1 < ranges.size()) {
    ranges = tables.empty() ? std::vector<TCSVImport::TInputRange>()
                            : import.CutInput(static_cast<int>(tables.size() + 1), cut);
    if (ranges.size() < 2) {
      why += ": the records are read on one thread and dealt out";
      for (const std::unique_ptr<TDatabaseTable>& other : tables) other->DataSet().Close();
      return nullptr;
    }
    why += ": loading over " + std::to_string(ranges.size());
    while (tables.size() + 1 > ranges.size()) {
      tables.back()->DataSet().Close();
      tables.pop_back();
    }
  }
  std::unique_ptr<TRangedImport> run(new TRangedImport(import, ranges.size()));
  TRejectReport::TOptions spooled = rejects;
  spooled.Spool = true;
  for (std::size_t k = 0; k < ranges.size(); ++k) {
    TPart& part = *run->FParts[k];
    part.Range = ranges[k];
    if (k == 0) continue;
    part.Table = std::move(tables[k - 1]);
    auto* other = new TCSVImport(&root);
    part.Import = other;
    CopyStoredProperties(import, *other);
    other->SetDataSet(&part.Table->DataSet());
    other->SetReadAhead(import.ReadAhead());
    other->SetReadBufferSize(import.ReadBufferSize());
    other->SetSharedReading(true);
    other->SetInputRange(part.Range);
    SetFormats(*other, {});
    part.Report = std::make_unique<TRejectReport>(spooled);
    part.Report->Attach(*other);
    TPart* p = &part;
    other->SetOnMessage([p](TObject*, const std::string& text, TMsgDlgType type) {
      p->Messages.push_back({text, type});
    });
    other->SetOnImportRecord([p](TObject*, std::int32_t bytes) { p->Bytes += bytes; });
  }
  // Every range opens the file again while the others hold it.
  import.SetSharedReading(true);
  import.SetInputRange(ranges[0]);
  // Its own connection loads the first range.
  table.SetJobs(1);
  return run;
}

std::vector<TCSVImport*> TRangedImport::Imports() const {
  std::vector<TCSVImport*> imports{&FMain};
  for (std::size_t k = 1; k < FParts.size(); ++k) imports.push_back(FParts[k]->Import);
  return imports;
}

void TRangedImport::StopAll() noexcept {
  FMain.Stop();
  for (std::size_t k = 1; k < FParts.size(); ++k) FParts[k]->Import->Stop();
}

// Commits what the range's connection holds, or after damaged input rolls
// back the group read since its last commit, so that only whole committed
// groups stay.
void TRangedImport::EndBulk(TDataSet& ds, TPart& part) noexcept {
  try {
    if (part.Damaged) {
      part.RolledBack = ds.AbandonBulk();
    } else {
      ds.EndBulk();
    }
  } catch (const EDatabaseFailure& e) {
    part.RolledBack += e.Lost();
    if (part.Failure.empty()) part.Failure = e.what();
  } catch (const std::exception& e) {
    if (part.Failure.empty()) part.Failure = e.what();
  }
}

void TRangedImport::RunPart(TPart& part) noexcept {
  TDataSet& ds = part.Table->DataSet();
  bool bulk = false;
  try {
    ds.BeginBulk();
    bulk = true;
    if (part.Import->Execute() < 0) {
      part.Failure = part.Import->LastError().empty() ? std::string("the import failed")
                                                      : part.Import->LastError();
    }
  } catch (const EInOutError& e) {
    part.Failure = e.what();
    part.Damaged = true;
  } catch (const std::exception& e) {
    part.Failure = e.what();
  }
  if (bulk) EndBulk(ds, part);
  try {
    part.Report->Finish();
  } catch (const std::exception& e) {
    if (part.Failure.empty()) part.Failure = e.what();
  }
  // The first range that fails ends the run, as a failed connection does.
  if (!part.Failure.empty()) StopAll();
}

std::int32_t TRangedImport::Execute(TSession& session, TRejectReport& report,
                                    std::int64_t& rolledBack, std::string& failure,
                                    bool& damagedInput) {
  // --max-errors counts the failed records of every range.
  std::atomic<std::int64_t> failedCount{0};
  report.ShareFailedCount(&failedCount);
  for (std::size_t k = 1; k < FParts.size(); ++k) FParts[k]->Report->ShareFailedCount(&failedCount);
  // The format settings are the process's: set here once for every range,
  // so that no run changes them while the others read them.
  const TFormatChoice choice = FMain.Formats();
  SetFormats(FMain, {});
  const TScopedFormatSettings formats(choice);
  TPart& first = *FParts[0];
  // The first range's messages are kept, as the others' are, and said with
  // its number once every range has ended.
  TMessageEvent said = FMain.OnMessage();
  FMain.SetOnMessage([&first](TObject*, const std::string& text, TMsgDlgType type) {
    first.Messages.push_back({text, type});
  });
  struct TRestore {
    TCSVImport& Import;
    const TFormatChoice& Choice;
    TRejectReport& Report;
    TMessageEvent& Said;
    ~TRestore() {
      SetFormats(Import, Choice);
      Report.ShareFailedCount(nullptr);
      Import.SetOnMessage(std::move(Said));
    }
  } restore{FMain, choice, report, said};

  std::int32_t result = -1;
  std::exception_ptr raised;
  try {
    for (std::size_t k = 1; k < FParts.size(); ++k) {
      TPart* part = FParts[k].get();
      part->Thread = std::thread([this, part] { RunPart(*part); });
    }
    result = FMain.Execute();
  } catch (const EInOutError&) {
    // Raised again below, once every range has ended.
    raised = std::current_exception();
    first.Damaged = true;
  } catch (const std::exception&) {
    raised = std::current_exception();
  }
  if (raised || result < 0) StopAll();
  // The first range commits before it waits for the others: a later range
  // whose record repeats a key it holds uncommitted waits for that commit.
  if (TDataSet* ds = FMain.DataSet(); ds != nullptr && ds->Active()) EndBulk(*ds, first);
  if (!first.Failure.empty()) StopAll();
  for (auto& part : FParts) {
    if (part->Thread.joinable()) part->Thread.join();
  }

  first.Stored = FMain.StoredRecords() - first.RolledBack;
  first.Stopped = FMain.Interrupted();
  first.NextRecord = FMain.NextRecord();
  first.NextLine = FMain.NextRecordLine();
  // A run that never started (a header naming no column) failed as a whole,
  // in every range alike: its messages are the run's, said without a range.
  const bool started = FMain.SetupFailure().empty() && FMain.ColumnFault().empty();
  if (!started) {
    for (const TPart::TMessage& m : first.Messages) session.Say(m.Type, m.Text);
  } else if (!raised && result < 0) {
    first.Failure = FMain.LastError().empty() ? std::string("the import failed")
                                              : FMain.LastError();
  }
  if ((raised || result < 0) && first.Failure.empty()) first.Failure = "failed";
  const std::string firstError = FMain.LastError();
  for (std::size_t k = 0; k < FParts.size(); ++k) {
    TPart& part = *FParts[k];
    if (k > 0) {
      const TCSVImport& other = *part.Import;
      part.Stored = other.StoredRecords() - part.RolledBack;
      part.Stopped = other.Interrupted();
      part.NextRecord = other.NextRecord();
      part.NextLine = other.NextRecordLine();
      FMain.AbsorbRun(other);
      try {
        report.Append(*part.Report, FMain);
      } catch (const std::runtime_error& e) {
        if (part.Failure.empty()) part.Failure = e.what();
      }
      if (FMeter != nullptr) FMeter->AddBytes(part.Bytes);
    } else if (!started) {
      continue;
    }
    rolledBack += part.RolledBack;
    damagedInput = damagedInput || part.Damaged;
    const std::string prefix = Prefix(k);
    for (const TPart::TMessage& m : part.Messages) {
      if (m.Text != part.Failure) session.Say(m.Type, prefix + m.Text);
    }
    // What the first range raised the command says, with its range. The
    // same reason as the first range's (a header naming no column), which
    // that one has said, is not said again.
    if (k == 0 && raised) continue;
    if (part.Failure.empty() || (!started && part.Failure == firstError)) continue;
    if (failure.empty() && !raised && started) {
      failure = prefix + part.Failure;
    } else {
      session.Say(mtError, prefix + part.Failure);
    }
  }
  if (raised) std::rethrow_exception(raised);
  if (!failure.empty()) return -1;
  return result < 0 ? result : FMain.RecordCounter() - FMain.ErrorRecords();
}

std::string TRangedImport::Prefix(std::size_t range) const {
  return "range " + std::to_string(range + 1) + " of " + std::to_string(FParts.size()) + ": ";
}

std::string TRangedImport::StoredText(bool failed) const {
  std::string text = "records stored by range:";
  std::int64_t all = 0;
  for (std::size_t k = 0; k < FParts.size(); ++k) {
    const TPart& part = *FParts[k];
    text += (k > 0 ? ", " : " ") + std::to_string(part.Stored) + " (" + std::to_string(k + 1);
    if (!part.Failure.empty()) {
      text += ", failed";
    } else if (failed && part.Stopped && part.NextRecord > 0) {
      text += ", stopped before record " + std::to_string(part.NextRecord);
    }
    text += ")";
    all += part.Stored;
  }
  return text + "; " + std::to_string(all) + " in all";
}

std::string TRangedImport::NotStored() const {
  const std::int64_t skipped = FMain.StartRecord() > 1 ? FMain.StartRecord() - 1 : 0;
  std::string text;
  bool lastOnly = true;
  for (std::size_t k = 0; k < FParts.size(); ++k) {
    const TPart& part = *FParts[k];
    if (!part.Stopped || part.NextRecord == 0) continue;
    const bool last = k + 1 == FParts.size();
    lastOnly = last && text.empty();
    text += text.empty() ? "records " : ", ";
    text += std::to_string(part.NextRecord);
    if (last) {
      text += " to the end";
    } else if (const std::int64_t end = skipped + FParts[k + 1]->Range.Record - 1;
               end > part.NextRecord) {
      text += "-" + std::to_string(end);
    }
    text += " (from line " + std::to_string(part.NextLine) + ")";
  }
  return lastOnly ? std::string() : text;
}

}  // namespace korvane::cli
