#include "update/apply/DeltaFormat.h"

#include "common/Errors.h"
#include "update/disk/PathRules.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace orvex_update {
namespace {

constexpr std::string_view kDeltaSuffix = ".ord";

std::uint32_t LoadLe32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
         (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}

std::uint64_t LoadLe64(const std::uint8_t* bytes) {
  return static_cast<std::uint64_t>(LoadLe32(bytes)) | (static_cast<std::uint64_t>(LoadLe32(bytes + 4)) << 32);
}

// A stream may hand out less than asked for before its end (a pipe, a network
// share); only a zero read means the data is gone.
template <typename Read>
std::size_t ReadFully(Read read, std::uint8_t* data, std::size_t length) {
  std::size_t total = 0;
  while (total < length) {
    const std::size_t got = read(data + total, length - total);
    if (got == 0 || got > length - total) break;
    total += got;
  }
  return total;
}

class Rebuild {
 public:
  Rebuild(DeltaStreams& streams, std::uint64_t targetSize) : streams_(streams), targetSize_(targetSize) {}

  void Run() {
    std::array<std::uint8_t, kDeltaHeaderSize> header{};
    if (ReadDelta(header.data(), kDeltaMagic.size()) != kDeltaMagic.size() ||
        std::memcmp(header.data(), kDeltaMagic.data(), kDeltaMagic.size()) != 0) {
      fail::Throw(fail::Kind::kIntegrity, "Invalid delta archive header.");
    }
    if (ReadDelta(header.data() + 8, 4) != 4) fail::Throw(fail::Kind::kIntegrity, "Invalid delta archive entry count.");
    const std::uint32_t count = LoadLe32(header.data() + 8);
    if (count == 0 || count > kMaxDeltaRecords)
      fail::Throw(fail::Kind::kIntegrity, "Invalid delta archive entry count.");

    buffer_.resize(kDeltaCopyBufferSize);
    std::uint64_t position = 0;
    for (std::uint32_t index = 0; index < count; ++index) {
      std::array<std::uint8_t, kDeltaRecordHeaderSize> record{};
      const bool complete = ReadDelta(record.data(), record.size()) == record.size();
      const std::uint64_t offset = LoadLe64(record.data());
      const std::uint32_t length = LoadLe32(record.data() + 8);
      // Ascending, non-overlapping, non-empty and inside the signed size; the
      // subtraction form cannot overflow where offset + length could.
      if (!complete || offset < position || offset > targetSize_ || length == 0 || targetSize_ - offset < length) {
        fail::Throw(fail::Kind::kIntegrity, "Invalid delta range.");
      }
      if (offset > position) CopyFromBase(position, offset - position);
      CopyFromDelta(length);
      position = offset + length;
    }
    if (position < targetSize_) CopyFromBase(position, targetSize_ - position);

    std::uint8_t extra = 0;
    if (ReadDelta(&extra, 1) != 0) fail::Throw(fail::Kind::kIntegrity, "Unexpected data in delta archive.");
  }

 private:
  std::size_t ReadDelta(std::uint8_t* data, std::size_t length) {
    return ReadFully([this](std::uint8_t* d, std::size_t n) { return streams_.ReadDelta(d, n); }, data, length);
  }

  void CopyFromBase(std::uint64_t from, std::uint64_t length) {
    if (!streams_.SeekBase(from)) fail::Throw(fail::Kind::kIntegrity, "The game archive or patch data is incomplete.");
    Copy(length, [this](std::uint8_t* d, std::size_t n) { return streams_.ReadBase(d, n); });
  }

  void CopyFromDelta(std::uint64_t length) {
    Copy(length, [this](std::uint8_t* d, std::size_t n) { return streams_.ReadDelta(d, n); });
  }

  template <typename Read>
  void Copy(std::uint64_t length, Read read) {
    while (length > 0) {
      const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(length, buffer_.size()));
      if (ReadFully(read, buffer_.data(), piece) != piece)
        fail::Throw(fail::Kind::kIntegrity, "The game archive or patch data is incomplete.");
      if (!streams_.WriteOutput(buffer_.data(), piece))
        fail::Throw(fail::Kind::kDisk, "Cannot write the rebuilt game archive.");
      length -= piece;
    }
  }

  DeltaStreams& streams_;
  const std::uint64_t targetSize_;
  std::vector<std::uint8_t> buffer_;
};

}  // namespace

bool IsDeltaTarget(std::string_view managedPath) {
  const std::string lower = AsciiLower(managedPath);
  for (std::string_view target : {"ui/ui.src", "fx/fx.src", "object/object.src", "item/item.src"}) {
    if (lower == target) return true;
  }
  return false;
}

std::optional<std::string> DeltaEntryTarget(std::string_view entryName) {
  if (entryName.size() <= kDeltaSuffix.size()) return std::nullopt;
  const std::string_view suffix = entryName.substr(entryName.size() - kDeltaSuffix.size());
  if (AsciiLower(suffix) != kDeltaSuffix) return std::nullopt;
  const std::string_view target = entryName.substr(0, entryName.size() - kDeltaSuffix.size());
  if (!IsDeltaTarget(target)) return std::nullopt;
  return std::string(target);
}

bool IsDeltaEntrySizeAllowed(std::uint64_t entrySize, std::uint64_t targetSize) {
  if (entrySize < kMinDeltaEntrySize) return false;
  // Written as a difference so that no target size can wrap the bound.
  return entrySize <= targetSize || entrySize - targetSize <= kDeltaEntrySlack;
}

void ApplyDeltaStreams(DeltaStreams& streams, std::uint64_t targetSize) { Rebuild(streams, targetSize).Run(); }

}  // namespace orvex_update
