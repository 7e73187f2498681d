#include "update/apply/Delta.h"

#include "common/Errors.h"
#include "common/WinHandles.h"
#include "update/disk/FileCalls.h"
#include "update/disk/Paths.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace orvex_update {
namespace {

namespace fs = std::filesystem;

// One ReadFile call; 0 on error as well as at the end, which the rebuild
// treats alike: the bytes it needs are not there.
std::size_t ReadSome(HANDLE file, std::uint8_t* data, std::size_t length) {
  const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(length, std::numeric_limits<DWORD>::max()));
  DWORD got = 0;
  if (!calls::ReadFile(file, data, ask, &got)) return 0;
  return got;
}

// The rebuild's files. Every byte of the client file is read once, in
// order, and hashed on the way (the stretches the delta replaces are read
// rather than skipped), so the rebuild also yields the client file's digest:
// the install's journal then needs no pass over the client file of its own.
// The output is hashed as it is written. Both hashes run on their own
// threads, and the output is flushed behind the writing.
class FileStreams final : public DeltaStreams {
 public:
  FileStreams(HANDLE base, HANDLE delta, HANDLE output, StreamHasher& outputHasher, StreamHasher& baseHasher)
      : base_(base),
        delta_(delta),
        output_(output),
        outputHasher_(outputHasher),
        baseHasher_(baseHasher),
        outputFlush_(output),
        skip_(kDeltaCopyBufferSize) {}

  std::size_t ReadDelta(std::uint8_t* data, std::size_t length) override { return ReadSome(delta_, data, length); }

  bool SeekBase(std::uint64_t offset) override {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<LONGLONG>::max())) return false;
    // Forward over the bytes a range replaced: read and hashed, not skipped.
    while (baseHashed_ && !baseEnded_ && position_ < offset) {
      const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(offset - position_, skip_.size()));
      if (ReadBase(skip_.data(), piece) == 0) baseEnded_ = true;
    }
    if (position_ == offset) return true;
    // Backwards, or past the end: positioned as asked. Seeking past the end
    // succeeds; the read that follows then comes up short, which is how a
    // client file too short for the target shows.
    if (offset < position_) baseHashed_ = false;
    LARGE_INTEGER distance{};
    distance.QuadPart = static_cast<LONGLONG>(offset);
    if (!calls::SetFilePointerEx(base_, distance, nullptr, FILE_BEGIN)) return false;
    position_ = offset;
    return true;
  }

  std::size_t ReadBase(std::uint8_t* data, std::size_t length) override {
    const std::size_t got = ReadSome(base_, data, length);
    if (got == 0) baseEnded_ = true;
    if (got > 0 && baseHashed_) {
      try {
        baseHasher_.Add(data, got);
      } catch (const std::exception&) {
        baseHashed_ = false;
      }
    }
    position_ += got;
    return got;
  }

  bool WriteOutput(const std::uint8_t* data, std::size_t length) override {
    if (!failed_) {
      try {
        outputHasher_.Add(data, length);
      } catch (const std::exception&) {
        failed_ = true;
      }
    }
    if (!failed_) failed_ = !WriteAll(output_, data, length);
    if (!failed_) outputFlush_.Written(length);
    return !failed_;
  }

  // Reads what the rebuild left of the client file; true when every byte of
  // it went through the base hash in order.
  bool FinishBase() {
    while (baseHashed_ && !baseEnded_) ReadBase(skip_.data(), skip_.size());
    return baseHashed_;
  }

  bool Failed() const { return failed_; }
  std::uint64_t BaseRead() const { return position_; }

 private:
  HANDLE base_;
  HANDLE delta_;
  HANDLE output_;
  StreamHasher& outputHasher_;
  StreamHasher& baseHasher_;
  FlushBehind outputFlush_;
  std::vector<std::uint8_t> skip_;
  std::uint64_t position_ = 0;
  bool baseHashed_ = true;
  bool baseEnded_ = false;
  bool failed_ = false;
};

win::UniqueFile OpenForReading(const fs::path& path) {
  // Shared like a C runtime stream: a reader elsewhere must not make the
  // archive look missing. The result is hashed afterwards, so a concurrent
  // writer cannot slip anything past the signed digest.
  return OpenFileRetrying(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN);
}

// With hold, a name that is new is created exclusively and with DELETE
// access, and fresh tells whether that happened.
win::UniqueFile CreateOutput(const fs::path& path, bool hold, bool& fresh) {
  constexpr DWORD kFlags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN;
  fresh = false;
  if (hold) {
    win::UniqueFile file = OpenFileRetrying(path, GENERIC_WRITE | DELETE, FILE_SHARE_READ, CREATE_NEW, kFlags);
    if (file || ::GetLastError() != ERROR_FILE_EXISTS) {
      fresh = static_cast<bool>(file);
      return file;
    }
  }
  return OpenFileRetrying(path, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS, kFlags);
}

// True when the delta's first range, as the client file holds it, differs
// from the delta's bytes for it: then the client file is not the target,
// unless the delta is damaged, and no hash pass is needed to tell. False
// whenever that cannot be shown.
[[nodiscard]] bool FirstRangeDiffers(const fs::path& clientFile, const fs::path& deltaFile) {
  const win::UniqueFile base = OpenForReading(clientFile);
  const win::UniqueFile delta = base ? OpenForReading(deltaFile) : win::UniqueFile();
  if (!delta) return false;
  std::uint8_t header[kDeltaHeaderSize + kDeltaRecordHeaderSize];
  if (ReadSome(delta.Get(), header, sizeof header) != sizeof header ||
      std::string_view(reinterpret_cast<const char*>(header), kDeltaMagic.size()) != kDeltaMagic) {
    return false;
  }
  std::uint64_t offset = 0;
  for (int i = 7; i >= 0; --i) offset = (offset << 8) | header[kDeltaHeaderSize + i];
  std::uint32_t length = 0;
  for (int i = 3; i >= 0; --i) length = (length << 8) | header[kDeltaHeaderSize + 8 + i];
  length = std::min<std::uint32_t>(length, 65536);
  if (length == 0 || offset > static_cast<std::uint64_t>(std::numeric_limits<LONGLONG>::max())) return false;
  std::vector<std::uint8_t> wanted(length);
  std::vector<std::uint8_t> held(length);
  if (ReadSome(delta.Get(), wanted.data(), length) != length) return false;
  LARGE_INTEGER distance{};
  distance.QuadPart = static_cast<LONGLONG>(offset);
  if (!calls::SetFilePointerEx(base.Get(), distance, nullptr, FILE_BEGIN)) return false;
  std::size_t got = 0;
  while (got < length) {
    const std::size_t piece = ReadSome(base.Get(), held.data() + got, length - got);
    if (piece == 0) break;
    got += piece;
  }
  return got < length || held != wanted;
}

// Writes the output from the client file and the delta; the base digest is
// filled in when the whole client file went through it unchanged.
void Rebuild(const fs::path& clientFile, const fs::path& deltaFile, const fs::path& outputFile,
             const ManifestFile& entry, RebuiltFile& rebuilt, bool hold) {
  StreamHasher outputHasher;
  StreamHasher baseHasher;
  bool baseComplete = false;
  FileIdentity baseBefore;
  win::UniqueFile kept;  // the held output, handed over once it has passed
  win::UniqueFile base = OpenForReading(clientFile);
  {
    // Opened in this order and no further once one fails, so a missing
    // client file leaves no empty output behind.
    win::UniqueFile delta = base ? OpenForReading(deltaFile) : win::UniqueFile();
    bool fresh = false;
    win::UniqueFile output = delta ? CreateOutput(outputFile, hold, fresh) : win::UniqueFile();
    if (!base || !delta || !output) {
      fail::Throw(fail::Kind::kIntegrity, "The patch needs the original game archive in the client folder.");
    }
    if (!QueryFileIdentity(base.Get(), baseBefore)) baseBefore = FileIdentity{};

    {
      FileStreams streams(base.Get(), delta.Get(), output.Get(), outputHasher, baseHasher);
      ApplyDeltaStreams(streams, entry.size);
      // A read error ends the client file early, like its end: only a pass
      // over all of its bytes is its digest.
      baseComplete = streams.FinishBase() && streams.BaseRead() == baseBefore.size;
      if (streams.Failed()) fail::Throw(fail::Kind::kDisk, "Cannot finish the rebuilt game archive.");
    }

    // The write time is set on the handle, so that closing it cannot move
    // it, and the file is then known by its identity until someone writes.
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    if (!calls::SetFileTime(output.Get(), nullptr, nullptr, &now) ||
        !QueryFileIdentity(output.Get(), rebuilt.output.identity)) {
      rebuilt.output.identity = FileIdentity{};
    }
    // CloseHandle is where a delayed write error surfaces; the handle is
    // given up first so that it is closed exactly once. A held output's
    // errors surface at its flush after the move instead.
    if (fresh) {
      kept = std::move(output);
    } else if (!output.Close(calls::CloseHandle)) {
      fail::Throw(fail::Kind::kDisk, "Cannot finish the rebuilt game archive.");
    }
  }

  rebuilt.output.sha256 = outputHasher.FinishHex();
  if (baseComplete) {
    rebuilt.base.sha256 = baseHasher.FinishHex();
    FileIdentity baseAfter;
    if (baseBefore.index != 0 && QueryFileIdentity(base.Get(), baseAfter) && baseAfter == baseBefore) {
      rebuilt.base.identity = baseBefore;
    }
  }
  const std::uint64_t size = rebuilt.output.identity.index != 0 ? rebuilt.output.identity.size : FsFileSize(outputFile);
  if (size != entry.size || rebuilt.output.sha256 != entry.sha256) {
    fail::Throw(fail::Kind::kIntegrity,
                "This patch requires a compatible ORVEX/Halvane 2369 base. The existing game archive was left intact.");
  }
  rebuilt.held = std::move(kept);
}

void CopyMatchingClient(const fs::path& clientFile, const fs::path& outputFile, RebuiltFile& rebuilt) {
  rebuilt.output = CopyFileHashing(clientFile, outputFile, &rebuilt.base);
}

}  // namespace

void RebuildFromDelta(const fs::path& clientFile, const fs::path& deltaFile, const fs::path& outputFile,
                      const ManifestFile& entry, const StatusCallback& status, RebuiltFile& rebuilt, bool hold) {
  rebuilt = RebuiltFile{};
  // A client that already holds the target needs no delta at all, and a
  // damaged delta then does not fail the install. As FileMatches: a regular
  // file of the signed size, then its digest. The digest is taken up front
  // only when the client file might be the target; when the delta's first
  // range already shows otherwise, the rebuild hashes the client file as it
  // reads it, on the second core, and the rebuild message comes at once.
  const bool sameSize = fs::is_regular_file(FsStatus(clientFile)) && FsFileSize(clientFile) == entry.size;
  const bool hashFirst = sameSize && !FirstRangeDiffers(clientFile, deltaFile);
  if (hashFirst) {
    rebuilt.base = HashFileIdentified(clientFile);
    if (rebuilt.base.sha256 == entry.sha256) {
      CopyMatchingClient(clientFile, outputFile, rebuilt);
      return;
    }
  }
  if (status) status("Rebuilding " + entry.path + " from the existing client...");
  const HashedFile hashedFirst = rebuilt.base;
  try {
    Rebuild(clientFile, deltaFile, outputFile, entry, rebuilt, hold);
    if (hashFirst) rebuilt.base = hashedFirst;
  } catch (const std::exception&) {
    if (!sameSize || hashFirst) throw;
    // A damaged delta whose first range differs from a client file that is
    // the target after all: the client file is the result, as if it had
    // been hashed first.
    rebuilt.base = HashFileIdentified(clientFile);
    if (rebuilt.base.sha256 != entry.sha256) throw;
    FsRemove(outputFile);
    CopyMatchingClient(clientFile, outputFile, rebuilt);
  }
}

void RebuildFromDelta(const fs::path& clientFile, const fs::path& deltaFile, const fs::path& outputFile,
                      const ManifestFile& entry, const StatusCallback& status) {
  RebuiltFile rebuilt;
  RebuildFromDelta(clientFile, deltaFile, outputFile, entry, status, rebuilt);
}

}  // namespace orvex_update
