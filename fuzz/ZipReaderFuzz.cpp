// libFuzzer target: the ZIP reader on arbitrary bytes. Every entry the
// central directory yields is checked and extracted into a counting sink,
// which must never receive more than the entry's declared size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "update/unpack/ZipReader.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

class CountingSink final : public orvex_update::ZipByteSink {
 public:
  bool Write(const void*, std::size_t length) override {
    received += length;
    return true;
  }
  std::uint64_t received = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  orvex_update::ZipStatus status = orvex_update::ZipStatus::kOk;
  auto reader = orvex_update::ZipReader::Open(std::make_unique<orvex_update::MemoryZipSource>(data, size), &status);
  Check((reader == nullptr) == (status != orvex_update::ZipStatus::kOk));
  if (!reader) return 0;
  // Every record is at least 46 bytes of the input.
  Check(reader->EntryCount() <= size / 46);
  for (std::size_t i = 0; i < reader->EntryCount(); ++i) {
    const orvex_update::ZipEntry& entry = reader->Entry(i);
    Check(entry.localHeaderOffset < size && entry.spanEnd <= size);
    (void)entry.IsDirectory();
    (void)entry.IsUnixSymlink();
    CountingSink sink;
    const orvex_update::ZipStatus extracted = reader->Extract(i, sink);
    Check(sink.received <= entry.uncompressedSize);
    if (extracted == orvex_update::ZipStatus::kOk) {
      Check(sink.received == entry.uncompressedSize);
      Check(reader->CheckExtractable(i) == orvex_update::ZipStatus::kOk);
    }
  }
  return 0;
}
