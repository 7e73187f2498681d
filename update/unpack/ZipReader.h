// The ZIP container reader under the patch archives: end-of-central-directory
// search, ZIP64 records, central-directory parsing, local-header checks and
// streamed extraction of stored and deflated entries with a CRC-32 check.
// Portable: it reads through ZipByteSource and writes through ZipByteSink, so
// the same parser runs on a Win32 file handle, a stdio file or bytes in memory
// (tests and the fuzzer). Never throws for bad input; every failure is a
// ZipStatus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace orvex_update {

// Positioned, read-only access to the bytes of one archive.
class ZipByteSource {
 public:
  virtual ~ZipByteSource() = default;
  // The total length in bytes; fixed for the source's life.
  virtual std::uint64_t Size() const = 0;
  // Reads exactly length bytes starting at offset; false on any error or a
  // short read. Callers never ask beyond Size().
  [[nodiscard]] virtual bool ReadAt(std::uint64_t offset, void* buffer, std::size_t length) = 0;
};

// Where extracted bytes go.
class ZipByteSink {
 public:
  virtual ~ZipByteSink() = default;
  // Takes all length bytes; false when they could not be written.
  [[nodiscard]] virtual bool Write(const void* data, std::size_t length) = 0;
};

// A source over bytes that the caller keeps alive and unchanged.
class MemoryZipSource final : public ZipByteSource {
 public:
  MemoryZipSource(const void* data, std::size_t size) : data_(static_cast<const std::uint8_t*>(data)), size_(size) {}
  std::uint64_t Size() const override { return size_; }
  [[nodiscard]] bool ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override;

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

// A source over a stdio file opened by name ("rb"); owns the FILE*.
class StdioZipSource final : public ZipByteSource {
 public:
  // Nullptr when the file cannot be opened or its size cannot be taken.
  static std::unique_ptr<StdioZipSource> Open(const char* fileName);
  ~StdioZipSource() override;
  StdioZipSource(const StdioZipSource&) = delete;
  StdioZipSource& operator=(const StdioZipSource&) = delete;
  std::uint64_t Size() const override { return size_; }
  [[nodiscard]] bool ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override;

 private:
  StdioZipSource(std::FILE* file, std::uint64_t size) : file_(file), size_(size) {}
  std::FILE* file_;
  std::uint64_t size_;
};

// Why an archive or an entry was refused.
enum class ZipStatus {
  kOk,
  kReadFailed,          // the source failed a read inside its own size
  kNotAnArchive,        // shorter than 22 bytes, or no end record in the search range
  kMultiDisk,           // spans several disks
  kBadZip64,            // a ZIP64 locator whose record is missing or disagrees with the end record
  kBadDirectory,        // directory outside the file, bad record signature, or bytes left over
  kBadEntryCount,       // more entries than the directory can hold
  kDirectoryTooLarge,   // central directory above kMaxCentralDirectoryBytes
  kBadExtraField,       // an extra field that runs past its record or lacks a ZIP64 value it must hold
  kEncryptedDirectory,  // general-purpose bit 13
  kBadEntryOffset,      // a local header or its data outside the entries' area
  kOverlappingEntries,  // two entries share bytes
  kIndexOutOfRange,
  kEncrypted,          // bit 0: no decryption here
  kPatchData,          // bit 5: compressed patch data
  kUnsupportedMethod,  // anything but 0 (stored) and 8 (deflate)
  kBadLocalHeader,     // wrong signature or a local header that does not fit
  kHeaderMismatch,     // local header disagrees with the central record
  kBadDataLength,      // data longer or shorter than its declared sizes
  kCorruptData,        // the deflate stream is invalid
  kCrcMismatch,
  kWriteFailed,  // the sink refused bytes
};

// A short English name of the status, for logs and test output.
const char* ZipStatusText(ZipStatus status);

// One central-directory record, ZIP64 values already applied.
struct ZipEntry {
  std::string name;  // the stored name bytes, unchanged (may hold "\\" or a zero byte)
  std::uint16_t versionMadeBy = 0;
  std::uint16_t flags = 0;
  std::uint16_t method = 0;
  std::uint16_t dosTime = 0;
  std::uint16_t dosDate = 0;
  std::uint32_t crc32 = 0;
  std::uint32_t externalAttributes = 0;
  std::uint64_t compressedSize = 0;
  std::uint64_t uncompressedSize = 0;
  std::uint64_t localHeaderOffset = 0;
  // First byte that no longer belongs to this entry: the next entry's local
  // header or the start of the central directory.
  std::uint64_t spanEnd = 0;

  // The name ends with "/" (or "\\") or the DOS directory attribute (0x10) is set.
  [[nodiscard]] bool IsDirectory() const;
  // The external attributes hold the Unix mode S_IFLNK (0xA in the top four bits).
  [[nodiscard]] bool IsUnixSymlink() const;
  // Made on Unix or macOS (version-made-by high byte 3 or 19) with attribute
  // bit 0x20000000, the link test the extraction pass skips on.
  [[nodiscard]] bool IsUnixLinkEntry() const;
};

// Largest central directory read into memory, in bytes.
inline constexpr std::uint64_t kMaxCentralDirectoryBytes = 64ull << 20;

// The end-of-central-directory search: windows of this many bytes, read
// backwards from the end of the file, overlapping by three bytes so that a
// signature on a window boundary is seen, down to the largest comment.
inline constexpr std::size_t kEndSearchWindow = 4096;
inline constexpr std::uint64_t kEndSearchLimit = 65535 + 22;

// A ZIP archive opened for reading. The central directory is read once by
// Open; entries are visited by index in central-directory order. Not
// thread-safe: one thread at a time per reader.
class ZipReader {
 public:
  // Reads and checks the central directory. Nullptr on failure, with the reason
  // in *status when status is given.
  static std::unique_ptr<ZipReader> Open(std::unique_ptr<ZipByteSource> source, ZipStatus* status = nullptr);

  std::size_t EntryCount() const { return entries_.size(); }
  // The entry at index; index must be below EntryCount().
  const ZipEntry& Entry(std::size_t index) const { return entries_[index]; }
  // True when the archive used ZIP64 end records.
  [[nodiscard]] bool IsZip64() const { return zip64_; }

  // Checks everything about the entry that can be checked without reading
  // its data: flags, method, the local header and where its data lies.
  ZipStatus CheckExtractable(std::size_t index);
  // Streams the entry's uncompressed bytes into sink (at most two 64 KiB
  // buffers held) and checks their length and CRC-32. The sink may have
  // received bytes when this fails.
  ZipStatus Extract(std::size_t index, ZipByteSink& sink);

 private:
  struct DataSpan {
    std::uint64_t offset = 0;  // first data byte
  };
  ZipReader() = default;
  ZipStatus ReadDirectory();
  ZipStatus Locate(std::size_t index, DataSpan& span);
  ZipStatus CopyStored(const ZipEntry& entry, const DataSpan& span, ZipByteSink& sink);
  ZipStatus Inflate(const ZipEntry& entry, const DataSpan& span, ZipByteSink& sink);

  std::unique_ptr<ZipByteSource> source_;
  std::vector<ZipEntry> entries_;
  bool zip64_ = false;
};

}  // namespace orvex_update
