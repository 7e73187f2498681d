#include "update/Delta.h"

#include "common/WinHandles.h"
#include "update/Paths.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>

namespace orvex_update {
namespace {

namespace fs = std::filesystem;

// One ReadFile call; 0 on error as well as at the end, which the rebuild
// treats alike: the bytes it needs are not there.
std::size_t ReadSome(HANDLE file, std::uint8_t* data, std::size_t length) {
  const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(length, std::numeric_limits<DWORD>::max()));
  DWORD got = 0;
  if (!::ReadFile(file, data, ask, &got, nullptr)) return 0;
  return got;
}

class FileStreams final : public DeltaStreams {
 public:
  FileStreams(HANDLE base, HANDLE delta, HANDLE output, StreamHasher& hasher)
      : base_(base), delta_(delta), output_(output), hasher_(hasher) {}

  std::size_t ReadDelta(std::uint8_t* data, std::size_t length) override { return ReadSome(delta_, data, length); }

  bool SeekBase(std::uint64_t offset) override {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<LONGLONG>::max())) return false;
    LARGE_INTEGER distance{};
    distance.QuadPart = static_cast<LONGLONG>(offset);
    // Seeking past the end succeeds; the read that follows then comes up
    // short, which is how a client file too short for the target shows.
    return ::SetFilePointerEx(base_, distance, nullptr, FILE_BEGIN) != FALSE;
  }

  std::size_t ReadBase(std::uint8_t* data, std::size_t length) override { return ReadSome(base_, data, length); }

  bool WriteOutput(const std::uint8_t* data, std::size_t length) override {
    // The rebuilt bytes are hashed as they are written, on a second thread,
    // instead of being read back afterwards.
    if (!failed_) {
      try {
        hasher_.Add(data, length);
      } catch (const std::exception&) {
        failed_ = true;
      }
    }
    while (!failed_ && length > 0) {
      const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(length, std::numeric_limits<DWORD>::max()));
      DWORD written = 0;
      if (!::WriteFile(output_, data, ask, &written, nullptr) || written == 0) {
        failed_ = true;
        break;
      }
      data += written;
      length -= written;
    }
    return !failed_;
  }

  bool Failed() const { return failed_; }

 private:
  HANDLE base_;
  HANDLE delta_;
  HANDLE output_;
  StreamHasher& hasher_;
  bool failed_ = false;
};

win::UniqueFile OpenForReading(const fs::path& path) {
  // Shared like a C runtime stream: a reader elsewhere must not make the
  // archive look missing. The result is hashed afterwards, so a concurrent
  // writer cannot slip anything past the signed digest.
  return OpenFileRetrying(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN);
}

win::UniqueFile CreateOutput(const fs::path& path) {
  return OpenFileRetrying(path, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN);
}

}  // namespace

void RebuildFromDelta(const fs::path& clientFile, const fs::path& deltaFile, const fs::path& outputFile,
                      const ManifestFile& entry, const StatusCallback& progress) {
  RebuiltFile rebuilt;
  RebuildFromDelta(clientFile, deltaFile, outputFile, entry, progress, rebuilt);
}

void RebuildFromDelta(const fs::path& clientFile, const fs::path& deltaFile, const fs::path& outputFile,
                      const ManifestFile& entry, const StatusCallback& progress, RebuiltFile& rebuilt) {
  rebuilt = RebuiltFile{};
  // A client that already holds the target needs no delta at all; the delta
  // is not even opened, so it cannot fail the install. As FileMatches: a
  // regular file of the signed size, then its digest.
  if (fs::is_regular_file(FsStatus(clientFile)) && FsFileSize(clientFile) == entry.size) {
    rebuilt.base = HashFileIdentified(clientFile);
    if (rebuilt.base.sha256 == entry.sha256) {
      rebuilt.output = CopyFileHashing(clientFile, outputFile, &rebuilt.base);
      return;
    }
  }
  if (progress) progress("Rebuilding " + entry.path + " from the existing client...");

  StreamHasher hasher;
  {
    // Opened in this order and no further once one fails, so a missing
    // client file leaves no empty output behind.
    win::UniqueFile base = OpenForReading(clientFile);
    win::UniqueFile delta = base ? OpenForReading(deltaFile) : win::UniqueFile();
    win::UniqueFile output = delta ? CreateOutput(outputFile) : win::UniqueFile();
    if (!base || !delta || !output) {
      throw std::runtime_error("The patch needs the original game archive in the client folder.");
    }

    FileStreams streams(base.Get(), delta.Get(), output.Get(), hasher);
    ApplyDeltaStreams(streams, entry.size);

    // The write time is set on the handle, so that closing it cannot move
    // it, and the file is then known by its identity until someone writes.
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    if (!::SetFileTime(output.Get(), nullptr, nullptr, &now) ||
        !QueryFileIdentity(output.Get(), rebuilt.output.identity)) {
      rebuilt.output.identity = FileIdentity{};
    }
    // CloseHandle is where a delayed write error surfaces; the handle is
    // given up first so that it is closed exactly once.
    const bool closed = ::CloseHandle(output.Release()) != FALSE;
    if (!closed || streams.Failed()) throw std::runtime_error("Cannot finish the rebuilt game archive.");
  }

  rebuilt.output.sha256 = hasher.FinishHex();
  const std::uint64_t size =
      rebuilt.output.identity.index != 0 ? rebuilt.output.identity.size : FsFileSize(outputFile);
  if (size != entry.size || rebuilt.output.sha256 != entry.sha256) {
    throw std::runtime_error(
        "This patch requires a compatible ORVEX/Halvane 2369 base. The existing game archive was left intact.");
  }
}

}  // namespace orvex_update
