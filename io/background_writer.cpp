#include "io/background_writer.h"

#include <cerrno>

#include "io/byte_sink.h"

namespace korvane {

TBackgroundWriter::TBackgroundWriter(const TFileHandle& file, TByteSink* sink)
    : FFile(file), FSink(sink), FThread([this] { Run(); }) {}

TBackgroundWriter::~TBackgroundWriter() {
  FPipe.Close();  // the write in progress ends first
  FThread.join();
}

void TBackgroundWriter::Start(const char* data, std::size_t count) {
  TJob* job = FPipe.Acquire();
  if (job == nullptr) return;  // a write failed: nothing more goes to the file
  job->Data = data;
  job->Count = count;
  FPipe.Publish();
}

bool TBackgroundWriter::Wait() { return FPipe.WaitReleased(); }

void TBackgroundWriter::Run() {
  while (const TJob* job = FPipe.Take()) {
    const bool written = FSink != nullptr ? FSink->Write(job->Data, job->Count)
                                          : WriteFile(FFile, job->Data, job->Count);
    if (!written) {
      FError = GetLastError() != 0 ? GetLastError() : EIO;
      FPipe.Fail();
    }
    FPipe.Release();
  }
}

}  // namespace korvane
