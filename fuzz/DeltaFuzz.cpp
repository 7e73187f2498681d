// libFuzzer target: the delta rebuild (ApplyDeltaStreams) over memory streams,
// against a plain in-memory model of the format. Input: one flag byte (bits
// 0-2: reads hand out at most that many bytes, 0 for no limit; bit 3: the
// base cannot be positioned; bit 4: the output refuses a write that would pass
// a cap; bit 5: a 64-bit target size instead of a 16-bit one), the target
// size, the base's length (16-bit), the cap (16-bit, with bit 4), the base's
// bytes, and the rest is the delta entry. Besides the sanitizers it checks
// that the rebuild writes exactly what the model writes and fails exactly
// where and how the model fails, whatever the read sizes; and the delta entry
// name and size rules against their definitions.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "update/apply/DeltaFormat.h"
#include "update/disk/PathRules.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void Check(bool condition) {
  if (!condition) std::abort();
}

std::uint64_t Le(const std::uint8_t* bytes, int width) {
  std::uint64_t value = 0;
  for (int i = 0; i < width; ++i) value |= static_cast<std::uint64_t>(bytes[i]) << (8 * i);
  return value;
}

class MemoryStreams final : public orvex_update::DeltaStreams {
 public:
  MemoryStreams(const Bytes& base, const Bytes& delta, std::size_t trickle, bool failSeek, std::uint64_t cap)
      : base_(base), delta_(delta), trickle_(trickle), failSeek_(failSeek), cap_(cap) {}

  std::size_t ReadDelta(std::uint8_t* data, std::size_t length) override {
    return Read(delta_, deltaPosition_, data, length);
  }
  bool SeekBase(std::uint64_t offset) override {
    if (failSeek_) return false;
    basePosition_ = offset;  // past the end is allowed, as with a file
    return true;
  }
  std::size_t ReadBase(std::uint8_t* data, std::size_t length) override {
    return Read(base_, basePosition_, data, length);
  }
  bool WriteOutput(const std::uint8_t* data, std::size_t length) override {
    if (output.size() + length > cap_) return false;
    output.insert(output.end(), data, data + length);
    return true;
  }

  Bytes output;

 private:
  std::size_t Read(const Bytes& source, std::uint64_t& position, std::uint8_t* data, std::size_t length) {
    Check(length > 0);
    if (position >= source.size()) return 0;
    std::size_t n = std::min<std::uint64_t>(length, source.size() - position);
    if (trickle_ != 0) n = std::min(n, trickle_);
    std::memcpy(data, source.data() + position, n);
    position += n;
    return n;
  }

  const Bytes& base_;
  const Bytes& delta_;
  const std::size_t trickle_;
  const bool failSeek_;
  const std::uint64_t cap_;
  std::uint64_t basePosition_ = 0;
  std::uint64_t deltaPosition_ = 0;
};

struct Outcome {
  Bytes output;
  std::string error;
};

// The format as a direct reading of the whole entry: the header, ascending
// non-overlapping records inside the target, the base everywhere else, no
// byte after the last record. Copies go in pieces of the rebuild's buffer
// size and a piece is written only when all of it could be read.
Outcome Model(const Bytes& base, const Bytes& delta, std::uint64_t targetSize, bool failSeek, std::uint64_t cap) {
  Outcome result;
  const auto write = [&](const std::uint8_t* data, std::size_t length) {
    if (result.output.size() + length > cap) throw std::runtime_error("Cannot write the rebuilt game archive.");
    result.output.insert(result.output.end(), data, data + length);
  };
  const auto copy = [&](const Bytes& source, std::uint64_t from, std::uint64_t length) {
    while (length > 0) {
      const std::uint64_t piece = std::min<std::uint64_t>(length, orvex_update::kDeltaCopyBufferSize);
      if (from > source.size() || source.size() - from < piece) {
        throw std::runtime_error("The game archive or patch data is incomplete.");
      }
      write(source.data() + from, static_cast<std::size_t>(piece));
      from += piece;
      length -= piece;
    }
  };
  try {
    if (delta.size() < 8 || std::memcmp(delta.data(), "ORDELTA1", 8) != 0) {
      throw std::runtime_error("Invalid delta archive header.");
    }
    if (delta.size() < 12) throw std::runtime_error("Invalid delta archive entry count.");
    const std::uint64_t count = Le(delta.data() + 8, 4);
    if (count == 0 || count > 100000) throw std::runtime_error("Invalid delta archive entry count.");
    std::size_t cursor = 12;
    std::uint64_t position = 0;
    const auto fromBase = [&](std::uint64_t from, std::uint64_t length) {
      if (failSeek) throw std::runtime_error("The game archive or patch data is incomplete.");
      copy(base, from, length);
    };
    for (std::uint64_t i = 0; i < count; ++i) {
      if (delta.size() - cursor < 12) throw std::runtime_error("Invalid delta range.");
      const std::uint64_t offset = Le(delta.data() + cursor, 8);
      const std::uint64_t length = Le(delta.data() + cursor + 8, 4);
      cursor += 12;
      if (offset < position || length == 0 || offset > targetSize || length > targetSize - offset) {
        throw std::runtime_error("Invalid delta range.");
      }
      if (offset > position) fromBase(position, offset - position);
      copy(delta, cursor, length);
      cursor += static_cast<std::size_t>(length);
      position = offset + length;
    }
    if (position < targetSize) fromBase(position, targetSize - position);
    if (cursor < delta.size()) throw std::runtime_error("Unexpected data in delta archive.");
  } catch (const std::runtime_error& error) {
    result.error = error.what();
  }
  return result;
}

void CheckEntryRules(const Bytes& delta, std::uint64_t targetSize) {
  const std::string_view name(reinterpret_cast<const char*>(delta.data()), delta.size());
  const auto target = orvex_update::DeltaEntryTarget(name);
  const bool shaped = name.size() > 4 && orvex_update::AsciiLower(name.substr(name.size() - 4)) == ".ord" &&
                      orvex_update::IsDeltaTarget(name.substr(0, name.size() - 4));
  Check(target.has_value() == shaped);
  if (target) Check(*target == name.substr(0, name.size() - 4));

  for (const auto& [entry, signedSize] : {std::pair<std::uint64_t, std::uint64_t>{delta.size(), targetSize},
                                         std::pair<std::uint64_t, std::uint64_t>{targetSize, delta.size()}}) {
    const unsigned __int128 bound = static_cast<unsigned __int128>(signedSize) + 2097152;
    Check(orvex_update::IsDeltaEntrySizeAllowed(entry, signedSize) == (entry >= 24 && entry <= bound));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t flags = data[0];
  const std::size_t trickle = flags & 7;
  const bool failSeek = (flags & 8) != 0;
  const bool capped = (flags & 16) != 0;
  const int sizeWidth = (flags & 32) != 0 ? 8 : 2;
  const std::size_t fixed = 1 + static_cast<std::size_t>(sizeWidth) + 2 + (capped ? 2 : 0);
  if (size < fixed) return 0;
  const std::uint64_t targetSize = Le(data + 1, sizeWidth);
  const std::size_t baseLength = std::min<std::size_t>(Le(data + 1 + sizeWidth, 2), size - fixed);
  const std::uint64_t cap =
      capped ? Le(data + 3 + sizeWidth, 2) : std::numeric_limits<std::uint64_t>::max();
  const Bytes base(data + fixed, data + fixed + baseLength);
  const Bytes delta(data + fixed + baseLength, data + size);

  CheckEntryRules(delta, targetSize);

  const Outcome expected = Model(base, delta, targetSize, failSeek, cap);
  MemoryStreams streams(base, delta, trickle, failSeek, cap);
  std::string error;
  try {
    orvex_update::ApplyDeltaStreams(streams, targetSize);
  } catch (const std::runtime_error& caught) {
    error = caught.what();
  }
  Check(error == expected.error);
  Check(streams.output == expected.output);
  Check(streams.output.size() <= targetSize);
  if (error.empty()) Check(streams.output.size() == targetSize);
  return 0;
}
