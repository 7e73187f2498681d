#include "update/unpack/ZipReader.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <numeric>

namespace orvex_update {
namespace {

constexpr std::uint32_t kLocalSignature = 0x04034b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;

constexpr std::size_t kEndRecordSize = 22;
constexpr std::size_t kZip64LocatorSize = 20;
constexpr std::size_t kZip64EndRecordSize = 56;
constexpr std::size_t kCentralRecordSize = 46;
constexpr std::size_t kLocalHeaderSize = 30;

constexpr std::uint16_t kZip64ExtraId = 0x0001;
constexpr std::uint32_t kSentinel32 = 0xFFFFFFFFu;
constexpr std::uint16_t kSentinel16 = 0xFFFFu;

constexpr std::uint16_t kFlagEncrypted = 0x0001;
constexpr std::uint16_t kFlagDataDescriptor = 0x0008;
constexpr std::uint16_t kFlagPatchData = 0x0020;
constexpr std::uint16_t kFlagMaskedDirectory = 0x2000;

constexpr std::uint16_t kMethodStored = 0;
constexpr std::uint16_t kMethodDeflate = 8;

// Extraction streams through buffers of this size, never the whole entry.
// Each block is read into the buffer and written out of it; at 256 KiB it
// stays in the core's cache in between, which at a megabyte it did not, and
// the kernel's two copies of a GiB took up to three times the time.
constexpr std::size_t kStreamBuffer = 256 * 1024;

// A small entry gets a buffer of its own size: a full buffer for each of ten
// thousand 4 KiB files is a fresh mapping of memory per file.
std::size_t StreamBufferFor(std::uint64_t bytes) {
  return static_cast<std::size_t>(std::clamp<std::uint64_t>(bytes, 1, kStreamBuffer));
}

std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t Le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint64_t Le64(const std::uint8_t* p) {
  return static_cast<std::uint64_t>(Le32(p)) | (static_cast<std::uint64_t>(Le32(p + 4)) << 32);
}

// a + b <= limit without wrapping.
[[nodiscard]] bool FitsWithin(std::uint64_t a, std::uint64_t b, std::uint64_t limit) { return a <= limit && b <= limit - a; }

// The values a ZIP64 extended-information field may replace; each one is
// present in the field only when the record holds the sentinel for it, and
// in this order.
struct Zip64Values {
  std::uint64_t* uncompressed = nullptr;
  std::uint64_t* compressed = nullptr;
  std::uint64_t* localOffset = nullptr;
  std::uint32_t* diskStart = nullptr;
};

// Walks the extra fields of one record. Every field must lie wholly inside
// the extra area; the ZIP64 field, when the record needs one, must hold every
// value the record defers to it and may appear only once.
ZipStatus ParseExtraFields(const std::uint8_t* extra, std::size_t length, const Zip64Values& wanted) {
  bool seenZip64 = false;
  std::size_t pos = 0;
  while (pos < length) {
    if (length - pos < 4) return ZipStatus::kBadExtraField;
    const std::uint16_t id = Le16(extra + pos);
    const std::uint16_t size = Le16(extra + pos + 2);
    pos += 4;
    if (size > length - pos) return ZipStatus::kBadExtraField;
    if (id == kZip64ExtraId) {
      if (seenZip64) return ZipStatus::kBadExtraField;
      seenZip64 = true;
      const std::uint8_t* field = extra + pos;
      std::size_t left = size;
      for (std::uint64_t* value : {wanted.uncompressed, wanted.compressed, wanted.localOffset}) {
        if (value == nullptr) continue;
        if (left < 8) return ZipStatus::kBadExtraField;
        *value = Le64(field);
        field += 8;
        left -= 8;
      }
      if (wanted.diskStart != nullptr) {
        if (left < 4) return ZipStatus::kBadExtraField;
        *wanted.diskStart = Le32(field);
      }
    }
    pos += size;
  }
  const bool needed = wanted.uncompressed || wanted.compressed || wanted.localOffset || wanted.diskStart;
  // A record that puts the sentinel in a field without giving the real value
  // would otherwise be read with 0xFFFFFFFF as its size or offset.
  if (needed && !seenZip64) return ZipStatus::kBadExtraField;
  return ZipStatus::kOk;
}

// Ends inflate on every path out of ZipReader::Inflate.
struct InflateScope {
  z_stream* stream;
  ~InflateScope() { inflateEnd(stream); }
};

}  // namespace

const char* ZipStatusText(ZipStatus status) {
  switch (status) {
    case ZipStatus::kOk:
      return "ok";
    case ZipStatus::kReadFailed:
      return "read failed";
    case ZipStatus::kNotAnArchive:
      return "not a ZIP archive";
    case ZipStatus::kMultiDisk:
      return "archive spans several disks";
    case ZipStatus::kBadZip64:
      return "invalid ZIP64 end records";
    case ZipStatus::kBadDirectory:
      return "invalid central directory";
    case ZipStatus::kBadEntryCount:
      return "entry count does not fit the central directory";
    case ZipStatus::kDirectoryTooLarge:
      return "central directory too large";
    case ZipStatus::kBadExtraField:
      return "invalid extra field";
    case ZipStatus::kEncryptedDirectory:
      return "encrypted central directory";
    case ZipStatus::kBadEntryOffset:
      return "entry outside the archive";
    case ZipStatus::kOverlappingEntries:
      return "entries overlap";
    case ZipStatus::kIndexOutOfRange:
      return "entry index out of range";
    case ZipStatus::kEncrypted:
      return "entry is encrypted";
    case ZipStatus::kPatchData:
      return "entry holds patch data";
    case ZipStatus::kUnsupportedMethod:
      return "unsupported compression method";
    case ZipStatus::kBadLocalHeader:
      return "invalid local header";
    case ZipStatus::kHeaderMismatch:
      return "local header disagrees with the central directory";
    case ZipStatus::kBadDataLength:
      return "entry data length differs from the declared size";
    case ZipStatus::kCorruptData:
      return "corrupt deflate data";
    case ZipStatus::kCrcMismatch:
      return "CRC-32 mismatch";
    case ZipStatus::kWriteFailed:
      return "write failed";
  }
  return "unknown";
}

// A trailing "\\" counts as well: the listing makes every "\\" a "/" before
// it asks, and extraction must agree with it.
bool ZipEntry::IsDirectory() const {
  return (!name.empty() && (name.back() == '/' || name.back() == '\\')) || (externalAttributes & 0x10) != 0;
}

bool ZipEntry::IsUnixSymlink() const { return (externalAttributes >> 28) == 0xA; }

bool ZipEntry::IsUnixLinkEntry() const {
  const unsigned host = versionMadeBy >> 8;
  return (host == 3 || host == 19) && (externalAttributes & 0x20000000u) != 0;
}

bool MemoryZipSource::ReadAt(std::uint64_t offset, void* buffer, std::size_t length) {
  if (!FitsWithin(offset, length, size_)) return false;
  if (length != 0) std::memcpy(buffer, data_ + offset, length);
  return true;
}

namespace {

[[nodiscard]] bool SeekTo(std::FILE* file, std::uint64_t offset) {
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return false;
#if defined(_WIN32)
  return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
#else
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return false;
  return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

[[nodiscard]] bool FileLength(std::FILE* file, std::uint64_t& size) {
#if defined(_WIN32)
  if (_fseeki64(file, 0, SEEK_END) != 0) return false;
  const __int64 end = _ftelli64(file);
#else
  if (fseeko(file, 0, SEEK_END) != 0) return false;
  const off_t end = ftello(file);
#endif
  if (end < 0) return false;
  size = static_cast<std::uint64_t>(end);
  return true;
}

}  // namespace

std::unique_ptr<StdioZipSource> StdioZipSource::Open(const char* fileName) {
  if (fileName == nullptr || *fileName == '\0') return nullptr;
  std::FILE* file = std::fopen(fileName, "rb");
  if (file == nullptr) return nullptr;
  std::uint64_t size = 0;
  if (!FileLength(file, size)) {
    std::fclose(file);
    return nullptr;
  }
  return std::unique_ptr<StdioZipSource>(new StdioZipSource(file, size));
}

StdioZipSource::~StdioZipSource() { std::fclose(file_); }

bool StdioZipSource::ReadAt(std::uint64_t offset, void* buffer, std::size_t length) {
  if (!FitsWithin(offset, length, size_)) return false;
  if (length == 0) return true;
  if (!SeekTo(file_, offset)) return false;
  return std::fread(buffer, 1, length, file_) == length;
}

std::unique_ptr<ZipReader> ZipReader::Open(std::unique_ptr<ZipByteSource> source, ZipStatus* status) {
  ZipStatus result = ZipStatus::kNotAnArchive;
  std::unique_ptr<ZipReader> reader;
  if (source) {
    reader.reset(new ZipReader());
    reader->source_ = std::move(source);
    result = reader->ReadDirectory();
    if (result != ZipStatus::kOk) reader.reset();
  }
  if (status != nullptr) *status = result;
  return reader;
}

namespace {

// Where the central directory lies, as the end records state it.
struct DirectoryBounds {
  std::uint64_t totalEntries = 0;
  std::uint64_t size = 0;
  std::uint64_t offset = 0;
  // Where the directory must have ended: the ZIP64 record when there is one,
  // the end record otherwise.
  std::uint64_t limit = 0;
  bool zip64 = false;
};

// Backwards through the tail in overlapping windows. A signature is taken
// only when its record ends exactly where its comment says the file ends, so
// "PK\5\6" inside a comment does not shadow the real record.
ZipStatus FindEndRecord(ZipByteSource& source, std::uint64_t& endOffset) {
  const std::uint64_t fileSize = source.Size();
  if (fileSize < kEndRecordSize) return ZipStatus::kNotAnArchive;
  const std::uint64_t lowest = fileSize > kEndSearchLimit ? fileSize - kEndSearchLimit : 0;
  std::array<std::uint8_t, kEndSearchWindow> window{};
  std::uint64_t windowEnd = fileSize;
  while (windowEnd - lowest >= 4) {
    const std::uint64_t windowStart =
        std::max<std::uint64_t>(lowest, windowEnd - std::min<std::uint64_t>(windowEnd, kEndSearchWindow));
    const std::size_t length = static_cast<std::size_t>(windowEnd - windowStart);
    if (!source.ReadAt(windowStart, window.data(), length)) return ZipStatus::kReadFailed;
    for (std::size_t i = length - 4 + 1; i-- > 0;) {
      if (Le32(window.data() + i) != kEndSignature) continue;
      const std::uint64_t candidate = windowStart + i;
      if (fileSize - candidate < kEndRecordSize) continue;
      std::array<std::uint8_t, kEndRecordSize> record{};
      if (!source.ReadAt(candidate, record.data(), record.size())) return ZipStatus::kReadFailed;
      if (candidate + kEndRecordSize + Le16(record.data() + 20) != fileSize) continue;
      endOffset = candidate;
      return ZipStatus::kOk;
    }
    if (windowStart == lowest) break;
    windowEnd = windowStart + 3;
  }
  return ZipStatus::kNotAnArchive;
}

// The classic end record's fields.
struct EndRecord {
  std::uint16_t diskNumber = 0;
  std::uint16_t directoryDisk = 0;
  std::uint16_t entriesOnDisk = 0;
  std::uint16_t totalEntries = 0;
  std::uint32_t directorySize = 0;
  std::uint32_t directoryOffset = 0;
};

// The ZIP64 end record behind the locator just before the end record. It
// replaces the classic values, which must either defer to it or agree.
ZipStatus ReadZip64End(ZipByteSource& source, const std::array<std::uint8_t, kZip64LocatorSize>& locator,
                       std::uint64_t locatorOffset, const EndRecord& classic, DirectoryBounds& bounds) {
  if (Le32(locator.data() + 4) != 0 || Le32(locator.data() + 16) > 1) return ZipStatus::kMultiDisk;
  const std::uint64_t recordOffset = Le64(locator.data() + 8);
  if (!FitsWithin(recordOffset, kZip64EndRecordSize, locatorOffset)) return ZipStatus::kBadZip64;
  std::array<std::uint8_t, kZip64EndRecordSize> record{};
  if (!source.ReadAt(recordOffset, record.data(), record.size())) return ZipStatus::kReadFailed;
  if (Le32(record.data()) != kZip64EndSignature) return ZipStatus::kBadZip64;
  const std::uint64_t recordSize = Le64(record.data() + 4);
  if (recordSize < kZip64EndRecordSize - 12 || !FitsWithin(recordOffset + 12, recordSize, locatorOffset)) {
    return ZipStatus::kBadZip64;
  }
  if (Le32(record.data() + 16) != 0 || Le32(record.data() + 20) != 0) return ZipStatus::kMultiDisk;
  const std::uint64_t entriesOnDisk64 = Le64(record.data() + 24);
  bounds.totalEntries = Le64(record.data() + 32);
  bounds.size = Le64(record.data() + 40);
  bounds.offset = Le64(record.data() + 48);
  if (entriesOnDisk64 != bounds.totalEntries) return ZipStatus::kMultiDisk;
  if ((classic.diskNumber != 0 && classic.diskNumber != kSentinel16) ||
      (classic.directoryDisk != 0 && classic.directoryDisk != kSentinel16)) {
    return ZipStatus::kMultiDisk;
  }
  // Two readers must never see two different directories.
  if ((classic.entriesOnDisk != kSentinel16 && classic.entriesOnDisk != bounds.totalEntries) ||
      (classic.totalEntries != kSentinel16 && classic.totalEntries != bounds.totalEntries) ||
      (classic.directorySize != kSentinel32 && classic.directorySize != bounds.size) ||
      (classic.directoryOffset != kSentinel32 && classic.directoryOffset != bounds.offset)) {
    return ZipStatus::kBadZip64;
  }
  bounds.limit = recordOffset;
  bounds.zip64 = true;
  return ZipStatus::kOk;
}

// The end record at endOffset and, when a locator precedes it, the ZIP64 end
// record; then the directory's place and size checked against the file.
ZipStatus ReadEndRecords(ZipByteSource& source, std::uint64_t endOffset, DirectoryBounds& bounds) {
  std::array<std::uint8_t, kEndRecordSize> end{};
  if (!source.ReadAt(endOffset, end.data(), end.size())) return ZipStatus::kReadFailed;
  EndRecord classic;
  classic.diskNumber = Le16(end.data() + 4);
  classic.directoryDisk = Le16(end.data() + 6);
  classic.entriesOnDisk = Le16(end.data() + 8);
  classic.totalEntries = Le16(end.data() + 10);
  classic.directorySize = Le32(end.data() + 12);
  classic.directoryOffset = Le32(end.data() + 16);
  bounds.totalEntries = classic.totalEntries;
  bounds.size = classic.directorySize;
  bounds.offset = classic.directoryOffset;
  bounds.limit = endOffset;

  std::array<std::uint8_t, kZip64LocatorSize> locator{};
  if (endOffset >= kZip64LocatorSize) {
    if (!source.ReadAt(endOffset - kZip64LocatorSize, locator.data(), locator.size())) return ZipStatus::kReadFailed;
  }
  if (endOffset >= kZip64LocatorSize && Le32(locator.data()) == kZip64LocatorSignature) {
    const ZipStatus zip64 = ReadZip64End(source, locator, endOffset - kZip64LocatorSize, classic, bounds);
    if (zip64 != ZipStatus::kOk) return zip64;
  } else if (classic.diskNumber != 0 || classic.directoryDisk != 0 || classic.entriesOnDisk != classic.totalEntries) {
    return ZipStatus::kMultiDisk;
  }

  if (!FitsWithin(bounds.offset, bounds.size, bounds.limit)) return ZipStatus::kBadDirectory;
  if (bounds.size > kMaxCentralDirectoryBytes) return ZipStatus::kDirectoryTooLarge;
  if (bounds.totalEntries > bounds.size / kCentralRecordSize) return ZipStatus::kBadEntryCount;
  return ZipStatus::kOk;
}

// One central record at the start of available bytes, its ZIP64 values
// applied; recordLength is how many bytes it takes.
ZipStatus ParseCentralRecord(const std::uint8_t* r, std::size_t available, ZipEntry& entry,
                             std::size_t& recordLength) {
  if (available < kCentralRecordSize) return ZipStatus::kBadEntryCount;
  if (Le32(r) != kCentralSignature) return ZipStatus::kBadDirectory;
  entry.versionMadeBy = Le16(r + 4);
  entry.flags = Le16(r + 8);
  entry.method = Le16(r + 10);
  entry.dosTime = Le16(r + 12);
  entry.dosDate = Le16(r + 14);
  entry.crc32 = Le32(r + 16);
  const std::uint32_t compressed32 = Le32(r + 20);
  const std::uint32_t uncompressed32 = Le32(r + 24);
  const std::size_t nameLength = Le16(r + 28);
  const std::size_t extraLength = Le16(r + 30);
  const std::size_t commentLength = Le16(r + 32);
  const std::uint16_t diskStart16 = Le16(r + 34);
  entry.externalAttributes = Le32(r + 38);
  const std::uint32_t localOffset32 = Le32(r + 42);
  recordLength = kCentralRecordSize + nameLength + extraLength + commentLength;
  if (available < recordLength) return ZipStatus::kBadDirectory;
  if (entry.flags & kFlagMaskedDirectory) return ZipStatus::kEncryptedDirectory;

  entry.name.assign(reinterpret_cast<const char*>(r + kCentralRecordSize), nameLength);
  entry.compressedSize = compressed32;
  entry.uncompressedSize = uncompressed32;
  entry.localHeaderOffset = localOffset32;
  std::uint32_t diskStart = diskStart16;
  Zip64Values wanted;
  if (uncompressed32 == kSentinel32) wanted.uncompressed = &entry.uncompressedSize;
  if (compressed32 == kSentinel32) wanted.compressed = &entry.compressedSize;
  if (localOffset32 == kSentinel32) wanted.localOffset = &entry.localHeaderOffset;
  if (diskStart16 == kSentinel16) wanted.diskStart = &diskStart;
  const ZipStatus extra = ParseExtraFields(r + kCentralRecordSize + nameLength, extraLength, wanted);
  if (extra != ZipStatus::kOk) return extra;
  if (diskStart != 0) return ZipStatus::kMultiDisk;
  return ZipStatus::kOk;
}

// Every entry's local header, name and data lie before the directory, and no
// two entries share bytes; each entry learns where its span ends. The local
// name is checked against the central one before extraction, so the central
// length is a lower bound here.
ZipStatus PlaceEntries(std::vector<ZipEntry>& entries, std::uint64_t directoryOffset) {
  for (const ZipEntry& entry : entries) {
    const std::uint64_t header = kLocalHeaderSize + entry.name.size();
    if (!FitsWithin(entry.localHeaderOffset, header, directoryOffset) ||
        !FitsWithin(entry.localHeaderOffset + header, entry.compressedSize, directoryOffset)) {
      return ZipStatus::kBadEntryOffset;
    }
  }
  std::vector<std::size_t> order(entries.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::sort(order.begin(), order.end(), [&entries](std::size_t a, std::size_t b) {
    return entries[a].localHeaderOffset < entries[b].localHeaderOffset;
  });
  for (std::size_t i = 0; i < order.size(); ++i) {
    ZipEntry& entry = entries[order[i]];
    entry.spanEnd = i + 1 < order.size() ? entries[order[i + 1]].localHeaderOffset : directoryOffset;
    const std::uint64_t minimumEnd =
        entry.localHeaderOffset + kLocalHeaderSize + entry.name.size() + entry.compressedSize;
    if (minimumEnd > entry.spanEnd) return ZipStatus::kOverlappingEntries;
  }
  return ZipStatus::kOk;
}

}  // namespace

ZipStatus ZipReader::ReadDirectory() {
  std::uint64_t endOffset = 0;
  const ZipStatus found = FindEndRecord(*source_, endOffset);
  if (found != ZipStatus::kOk) return found;
  DirectoryBounds bounds;
  const ZipStatus ends = ReadEndRecords(*source_, endOffset, bounds);
  if (ends != ZipStatus::kOk) return ends;
  zip64_ = bounds.zip64;

  std::vector<std::uint8_t> directory(static_cast<std::size_t>(bounds.size));
  if (!source_->ReadAt(bounds.offset, directory.data(), directory.size())) return ZipStatus::kReadFailed;
  entries_.reserve(static_cast<std::size_t>(bounds.totalEntries));
  std::size_t pos = 0;
  for (std::uint64_t n = 0; n < bounds.totalEntries; ++n) {
    ZipEntry entry;
    std::size_t recordLength = 0;
    const ZipStatus record = ParseCentralRecord(directory.data() + pos, directory.size() - pos, entry, recordLength);
    if (record != ZipStatus::kOk) return record;
    entries_.push_back(std::move(entry));
    pos += recordLength;
  }
  // Records beyond the stated count would be entries one reader sees and
  // another does not.
  if (pos != directory.size()) return ZipStatus::kBadDirectory;
  return PlaceEntries(entries_, bounds.offset);
}

ZipStatus ZipReader::CheckExtractable(std::size_t index) {
  DataSpan span;
  return Locate(index, span);
}

ZipStatus ZipReader::Locate(std::size_t index, DataSpan& span) {
  if (index >= entries_.size()) return ZipStatus::kIndexOutOfRange;
  const ZipEntry& entry = entries_[index];
  if (entry.flags & kFlagEncrypted) return ZipStatus::kEncrypted;
  if (entry.flags & kFlagPatchData) return ZipStatus::kPatchData;
  if (entry.method != kMethodStored && entry.method != kMethodDeflate) return ZipStatus::kUnsupportedMethod;

  std::array<std::uint8_t, kLocalHeaderSize> header{};
  if (!source_->ReadAt(entry.localHeaderOffset, header.data(), header.size())) return ZipStatus::kReadFailed;
  if (Le32(header.data()) != kLocalSignature) return ZipStatus::kBadLocalHeader;
  const std::uint16_t flags = Le16(header.data() + 6);
  const std::uint16_t method = Le16(header.data() + 8);
  const std::uint32_t crc = Le32(header.data() + 14);
  const std::uint32_t compressed32 = Le32(header.data() + 18);
  const std::uint32_t uncompressed32 = Le32(header.data() + 22);
  const std::size_t nameLength = Le16(header.data() + 26);
  const std::size_t extraLength = Le16(header.data() + 28);

  const std::uint64_t variableStart = entry.localHeaderOffset + kLocalHeaderSize;
  if (!FitsWithin(variableStart, nameLength + extraLength, entry.spanEnd)) return ZipStatus::kBadLocalHeader;
  std::vector<std::uint8_t> variable(nameLength + extraLength);
  if (!source_->ReadAt(variableStart, variable.data(), variable.size())) return ZipStatus::kReadFailed;

  if (flags & kFlagMaskedDirectory) return ZipStatus::kEncrypted;
  if (((flags ^ entry.flags) & (kFlagEncrypted | kFlagPatchData)) != 0 || method != entry.method) {
    return ZipStatus::kHeaderMismatch;
  }
  const std::string_view localName(reinterpret_cast<const char*>(variable.data()), nameLength);
  if (localName != entry.name) return ZipStatus::kHeaderMismatch;
  // Without a data descriptor the local header states the sizes and CRC
  // itself, and they must be those of the central record.
  const bool deferred = (flags & kFlagDataDescriptor) != 0;
  std::uint64_t compressed = compressed32;
  std::uint64_t uncompressed = uncompressed32;
  Zip64Values wanted;
  if (!deferred && uncompressed32 == kSentinel32) wanted.uncompressed = &uncompressed;
  if (!deferred && compressed32 == kSentinel32) wanted.compressed = &compressed;
  const ZipStatus extra = ParseExtraFields(variable.data() + nameLength, extraLength, wanted);
  if (extra != ZipStatus::kOk) return extra;
  if (!deferred &&
      (crc != entry.crc32 || compressed != entry.compressedSize || uncompressed != entry.uncompressedSize)) {
    return ZipStatus::kHeaderMismatch;
  }
  span.offset = variableStart + nameLength + extraLength;
  if (!FitsWithin(span.offset, entry.compressedSize, entry.spanEnd)) return ZipStatus::kOverlappingEntries;
  return ZipStatus::kOk;
}

ZipStatus ZipReader::Extract(std::size_t index, ZipByteSink& sink) {
  DataSpan span;
  const ZipStatus located = Locate(index, span);
  if (located != ZipStatus::kOk) return located;
  const ZipEntry& entry = entries_[index];
  return entry.method == kMethodStored ? CopyStored(entry, span, sink) : Inflate(entry, span, sink);
}

ZipStatus ZipReader::CopyStored(const ZipEntry& entry, const DataSpan& span, ZipByteSink& sink) {
  if (entry.compressedSize != entry.uncompressedSize) return ZipStatus::kBadDataLength;
  std::vector<std::uint8_t> buffer(StreamBufferFor(entry.compressedSize));
  uLong crc = crc32(0L, Z_NULL, 0);
  std::uint64_t offset = span.offset;
  std::uint64_t left = entry.compressedSize;
  while (left > 0) {
    const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
    if (!source_->ReadAt(offset, buffer.data(), piece)) return ZipStatus::kReadFailed;
    crc = crc32(crc, buffer.data(), static_cast<uInt>(piece));
    if (!sink.Write(buffer.data(), piece)) return ZipStatus::kWriteFailed;
    offset += piece;
    left -= piece;
  }
  return crc == entry.crc32 ? ZipStatus::kOk : ZipStatus::kCrcMismatch;
}

ZipStatus ZipReader::Inflate(const ZipEntry& entry, const DataSpan& span, ZipByteSink& sink) {
  z_stream stream{};
  if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) return ZipStatus::kCorruptData;
  InflateScope scope{&stream};

  std::vector<std::uint8_t> input(StreamBufferFor(entry.compressedSize));
  // One byte more than the declared size fits, to tell a longer stream.
  std::vector<std::uint8_t> output(
      StreamBufferFor(entry.uncompressedSize < kStreamBuffer ? entry.uncompressedSize + 1 : kStreamBuffer));
  uLong crc = crc32(0L, Z_NULL, 0);
  std::uint64_t readOffset = span.offset;
  std::uint64_t inputLeft = entry.compressedSize;
  std::uint64_t produced = 0;
  for (;;) {
    if (stream.avail_in == 0 && inputLeft > 0) {
      const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(inputLeft, input.size()));
      if (!source_->ReadAt(readOffset, input.data(), piece)) return ZipStatus::kReadFailed;
      stream.next_in = input.data();
      stream.avail_in = static_cast<uInt>(piece);
      readOffset += piece;
      inputLeft -= piece;
    }
    // Room for the rest of the declared size plus one byte: a stream that
    // fills that byte is longer than declared and stops here, however much
    // more it would expand to.
    const std::uint64_t room = entry.uncompressedSize - produced;
    const std::size_t window = room >= output.size() ? output.size() : static_cast<std::size_t>(room) + 1;
    stream.next_out = output.data();
    stream.avail_out = static_cast<uInt>(window);
    const int rc = inflate(&stream, Z_NO_FLUSH);
    const std::size_t got = window - stream.avail_out;
    if (got > room) return ZipStatus::kBadDataLength;
    if (got > 0) {
      crc = crc32(crc, output.data(), static_cast<uInt>(got));
      if (!sink.Write(output.data(), got)) return ZipStatus::kWriteFailed;
      produced += got;
    }
    if (rc == Z_STREAM_END) break;
    if (rc == Z_BUF_ERROR) {
      // No progress possible: the declared compressed bytes ran out before the
      // stream's end.
      if (stream.avail_in == 0 && inputLeft == 0) return ZipStatus::kBadDataLength;
      return ZipStatus::kCorruptData;
    }
    if (rc != Z_OK) return ZipStatus::kCorruptData;
  }
  // The stream ended: it must have used exactly the declared compressed bytes
  // and produced exactly the declared size.
  if (stream.avail_in != 0 || inputLeft != 0 || produced != entry.uncompressedSize) return ZipStatus::kBadDataLength;
  return crc == entry.crc32 ? ZipStatus::kOk : ZipStatus::kCrcMismatch;
}

}  // namespace orvex_update
