// Delta entries of patch archives ("ORDELTA1"): which client files may be
// rebuilt from one, how an archive entry is recognised as one, and the rebuild
// itself over abstract byte streams. Portable: the Win32 side (update/apply/Delta.h)
// supplies the files, the native tests supply memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvex_update {

// "ORDELTA1", the first 8 bytes of every delta entry.
inline constexpr std::string_view kDeltaMagic = "ORDELTA1";
// Magic plus record count; each record starts with offset plus length.
inline constexpr std::size_t kDeltaHeaderSize = 12;
inline constexpr std::size_t kDeltaRecordHeaderSize = 12;
inline constexpr std::uint32_t kMaxDeltaRecords = 100000;
// The one copy buffer through which the rebuild streams everything.
inline constexpr std::size_t kDeltaCopyBufferSize = 262144;
// Archive size bounds of a delta entry: a header and one record of one byte
// does not fit in less; a delta may outgrow its target by record headers only.
inline constexpr std::uint64_t kMinDeltaEntrySize = 24;
inline constexpr std::uint64_t kDeltaEntrySlack = 2097152;

// True when the managed path, ASCII-lowered, is one of the four game archives
// that may be rebuilt from a delta: ui/ui.src, fx/fx.src, object/object.src,
// item/item.src.
[[nodiscard]] bool IsDeltaTarget(std::string_view managedPath);

// For an archive entry name ("/" separators): the target path, in the entry's
// own letter case, when the name is a delta target followed by ".ord" (suffix
// in any case); nothing for every other entry.
[[nodiscard]] std::optional<std::string> DeltaEntryTarget(std::string_view entryName);

// True when a delta entry of entrySize bytes may describe a target of
// targetSize bytes (at least 24 bytes, at most the target plus 2 MiB).
[[nodiscard]] bool IsDeltaEntrySizeAllowed(std::uint64_t entrySize, std::uint64_t targetSize);

// The three byte streams of one rebuild: the existing client file (the base),
// the delta entry and the output. Implementations report short reads and
// failed writes through their results and never throw.
class DeltaStreams {
 public:
  virtual ~DeltaStreams() = default;
  // Up to length bytes of the delta into data; fewer only at its end or on error.
  virtual std::size_t ReadDelta(std::uint8_t* data, std::size_t length) = 0;
  // Positions the base at offset; false when it cannot be positioned there.
  [[nodiscard]] virtual bool SeekBase(std::uint64_t offset) = 0;
  // Up to length bytes of the base from its position; fewer only at its end or on error.
  virtual std::size_t ReadBase(std::uint8_t* data, std::size_t length) = 0;
  // Appends length bytes to the output; false once the output is in error.
  [[nodiscard]] virtual bool WriteOutput(const std::uint8_t* data, std::size_t length) = 0;
};

// Reads the delta from its first byte and writes exactly targetSize bytes to
// the output: the delta's ranges, and the base's bytes everywhere else.
// Streams through one buffer of kDeltaCopyBufferSize bytes. Throws
// std::runtime_error with the rebuild's messages ("Invalid delta archive
// header.", "Invalid delta archive entry count.", "Invalid delta range.", "The
// game archive or patch data is incomplete.", "Cannot write the rebuilt game
// archive.", "Unexpected data in delta archive."). Whether the output matches
// the signed digest is the caller's check.
void ApplyDeltaStreams(DeltaStreams& streams, std::uint64_t targetSize);

}  // namespace orvex_update
