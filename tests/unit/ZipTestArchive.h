// Builds ZIP archives byte by byte for the reader's tests, including ones no
// sane writer makes: each field can be set on its own, and the offsets of
// every record are reported so that a test can corrupt one exact byte.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace ziptest {

inline std::string RawDeflate(const std::string& data, int level = 6) {
  z_stream stream{};
  if (deflateInit2(&stream, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("deflateInit2");
  }
  std::string out(deflateBound(&stream, static_cast<uLong>(data.size())), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  if (rc != Z_STREAM_END) throw std::runtime_error("deflate");
  return out;
}

inline std::uint32_t Crc32(const std::string& data) {
  return static_cast<std::uint32_t>(
      crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

// (i % 251) ^ ((i >> 8) & 0xFF): varied enough to need many deflate blocks.
inline std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(((i % 251) ^ ((i >> 8) & 0xFF)) & 0xFF);
  return bytes;
}

inline void Put16(std::string& out, std::uint16_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>(v >> 8));
}
inline void Put32(std::string& out, std::uint32_t v) {
  Put16(out, static_cast<std::uint16_t>(v & 0xFFFF));
  Put16(out, static_cast<std::uint16_t>(v >> 16));
}
inline void Put64(std::string& out, std::uint64_t v) {
  Put32(out, static_cast<std::uint32_t>(v));
  Put32(out, static_cast<std::uint32_t>(v >> 32));
}
// Overwrites bytes in place at offset.
inline void Poke16(std::string& bytes, std::size_t offset, std::uint16_t v) {
  std::string field;
  Put16(field, v);
  bytes.replace(offset, 2, field);
}
inline void Poke32(std::string& bytes, std::size_t offset, std::uint32_t v) {
  std::string field;
  Put32(field, v);
  bytes.replace(offset, 4, field);
}
inline void Poke64(std::string& bytes, std::size_t offset, std::uint64_t v) {
  std::string field;
  Put64(field, v);
  bytes.replace(offset, 8, field);
}

inline std::string ExtraField(std::uint16_t id, const std::string& data) {
  std::string out;
  Put16(out, id);
  Put16(out, static_cast<std::uint16_t>(data.size()));
  return out + data;
}

// 2021-06-15 12:30:44 in DOS form.
inline constexpr std::uint16_t kDosDate = static_cast<std::uint16_t>(((2021 - 1980) << 9) | (6 << 5) | 15);
inline constexpr std::uint16_t kDosTime = static_cast<std::uint16_t>((12 << 11) | (30 << 5) | (44 / 2));

struct Entry {
  std::string name;
  std::string data;  // uncompressed content
  // 0 stores, 8 deflates; any other value stores the data unchanged under
  // that method number.
  std::uint16_t method = 8;
  std::uint16_t flags = 0;
  std::uint16_t versionMadeBy = 20;
  std::uint32_t externalAttributes = 0;
  std::uint16_t dosTime = kDosTime;
  std::uint16_t dosDate = kDosDate;
  // Sizes (and offset) through ZIP64 extra fields with sentinels in both headers.
  bool zip64 = false;
  // Bit 3: zero CRC and sizes in the local header, a descriptor after the data.
  bool dataDescriptor = false;
  std::string centralExtra;  // appended after any ZIP64 field
  std::string localExtra;
  std::optional<std::string> localName;               // a different name in the local header
  std::optional<std::string> payload;                 // bytes written as the data instead of the encoded content
  std::optional<std::uint32_t> crc;                   // a CRC-32 other than the content's, in both headers
  std::optional<std::uint64_t> declaredUncompressed;  // in both headers
  std::optional<std::uint64_t> declaredCompressed;    // in both headers
};

struct Archive {
  std::string bytes;
  std::vector<std::size_t> localOffsets;
  std::vector<std::size_t> centralOffsets;
  std::size_t directoryOffset = 0;
  std::size_t directorySize = 0;
  std::size_t zip64EndOffset = 0;  // 0 when not written
  std::size_t locatorOffset = 0;   // 0 when not written
  std::size_t endOffset = 0;

  std::vector<std::uint8_t> Vector() const { return std::vector<std::uint8_t>(bytes.begin(), bytes.end()); }
};

class Builder {
 public:
  Builder& Add(Entry entry) {
    entries_.push_back(std::move(entry));
    return *this;
  }
  Builder& Comment(std::string comment) {
    comment_ = std::move(comment);
    return *this;
  }
  // ZIP64 end record and locator, the classic record holding sentinels.
  Builder& Zip64End(bool on = true) {
    zip64End_ = on;
    return *this;
  }

  Archive Build() const {
    Archive archive;
    std::string& out = archive.bytes;
    struct Written {
      std::uint32_t crc;
      std::uint64_t compressed;
      std::uint64_t uncompressed;
      std::uint64_t offset;
    };
    std::vector<Written> written;
    for (const Entry& e : entries_) {
      const std::string encoded = e.payload ? *e.payload : (e.method == 8 ? RawDeflate(e.data) : e.data);
      Written w{e.crc ? *e.crc : Crc32(e.data), e.declaredCompressed ? *e.declaredCompressed : encoded.size(),
                e.declaredUncompressed ? *e.declaredUncompressed : e.data.size(), out.size()};
      written.push_back(w);
      archive.localOffsets.push_back(out.size());
      const std::string& localName = e.localName ? *e.localName : e.name;
      std::string extra;
      if (e.zip64) {
        std::string values;
        Put64(values, w.uncompressed);
        Put64(values, w.compressed);
        extra = ExtraField(1, values);
      }
      extra += e.localExtra;
      Put32(out, 0x04034b50);
      Put16(out, e.zip64 ? 45 : 20);
      Put16(out, static_cast<std::uint16_t>(e.flags | (e.dataDescriptor ? 8 : 0)));
      Put16(out, e.method);
      Put16(out, e.dosTime);
      Put16(out, e.dosDate);
      if (e.dataDescriptor) {
        Put32(out, 0);
        Put32(out, 0);
        Put32(out, 0);
      } else {
        Put32(out, w.crc);
        Put32(out, e.zip64 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(w.compressed));
        Put32(out, e.zip64 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(w.uncompressed));
      }
      Put16(out, static_cast<std::uint16_t>(localName.size()));
      Put16(out, static_cast<std::uint16_t>(extra.size()));
      out += localName;
      out += extra;
      out += encoded;
      if (e.dataDescriptor) {
        Put32(out, 0x08074b50);
        Put32(out, w.crc);
        Put32(out, static_cast<std::uint32_t>(w.compressed));
        Put32(out, static_cast<std::uint32_t>(w.uncompressed));
      }
    }
    archive.directoryOffset = out.size();
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      const Entry& e = entries_[i];
      const Written& w = written[i];
      archive.centralOffsets.push_back(out.size());
      std::string extra;
      if (e.zip64) {
        std::string values;
        Put64(values, w.uncompressed);
        Put64(values, w.compressed);
        Put64(values, w.offset);
        extra = ExtraField(1, values);
      }
      extra += e.centralExtra;
      Put32(out, 0x02014b50);
      Put16(out, e.versionMadeBy);
      Put16(out, e.zip64 ? 45 : 20);
      Put16(out, static_cast<std::uint16_t>(e.flags | (e.dataDescriptor ? 8 : 0)));
      Put16(out, e.method);
      Put16(out, e.dosTime);
      Put16(out, e.dosDate);
      Put32(out, w.crc);
      Put32(out, e.zip64 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(w.compressed));
      Put32(out, e.zip64 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(w.uncompressed));
      Put16(out, static_cast<std::uint16_t>(e.name.size()));
      Put16(out, static_cast<std::uint16_t>(extra.size()));
      Put16(out, 0);  // comment
      Put16(out, 0);  // disk
      Put16(out, 0);  // internal attributes
      Put32(out, e.externalAttributes);
      Put32(out, e.zip64 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(w.offset));
      out += e.name;
      out += extra;
    }
    archive.directorySize = out.size() - archive.directoryOffset;
    const std::uint64_t count = entries_.size();
    if (zip64End_) {
      archive.zip64EndOffset = out.size();
      Put32(out, 0x06064b50);
      Put64(out, 44);
      Put16(out, 45);
      Put16(out, 45);
      Put32(out, 0);
      Put32(out, 0);
      Put64(out, count);
      Put64(out, count);
      Put64(out, archive.directorySize);
      Put64(out, archive.directoryOffset);
      archive.locatorOffset = out.size();
      Put32(out, 0x07064b50);
      Put32(out, 0);
      Put64(out, archive.zip64EndOffset);
      Put32(out, 1);
    }
    archive.endOffset = out.size();
    Put32(out, 0x06054b50);
    Put16(out, 0);
    Put16(out, 0);
    Put16(out, zip64End_ ? 0xFFFF : static_cast<std::uint16_t>(count));
    Put16(out, zip64End_ ? 0xFFFF : static_cast<std::uint16_t>(count));
    Put32(out, zip64End_ ? 0xFFFFFFFFu : static_cast<std::uint32_t>(archive.directorySize));
    Put32(out, zip64End_ ? 0xFFFFFFFFu : static_cast<std::uint32_t>(archive.directoryOffset));
    Put16(out, static_cast<std::uint16_t>(comment_.size()));
    out += comment_;
    return archive;
  }

 private:
  std::vector<Entry> entries_;
  std::string comment_;
  bool zip64End_ = false;
};

// Offsets of fields inside the records, for tests that corrupt one.
namespace field {
inline constexpr std::size_t kLocalFlags = 6;
inline constexpr std::size_t kLocalMethod = 8;
inline constexpr std::size_t kLocalCrc = 14;
inline constexpr std::size_t kLocalCompressed = 18;
inline constexpr std::size_t kLocalUncompressed = 22;
inline constexpr std::size_t kLocalNameLength = 26;
inline constexpr std::size_t kLocalExtraLength = 28;
inline constexpr std::size_t kCentralFlags = 8;
inline constexpr std::size_t kCentralMethod = 10;
inline constexpr std::size_t kCentralCrc = 16;
inline constexpr std::size_t kCentralCompressed = 20;
inline constexpr std::size_t kCentralUncompressed = 24;
inline constexpr std::size_t kCentralNameLength = 28;
inline constexpr std::size_t kCentralExtraLength = 30;
inline constexpr std::size_t kCentralDiskStart = 34;
inline constexpr std::size_t kCentralExternal = 38;
inline constexpr std::size_t kCentralLocalOffset = 42;
inline constexpr std::size_t kCentralName = 46;
inline constexpr std::size_t kEndDisk = 4;
inline constexpr std::size_t kEndDirectoryDisk = 6;
inline constexpr std::size_t kEndEntriesOnDisk = 8;
inline constexpr std::size_t kEndEntries = 10;
inline constexpr std::size_t kEndDirectorySize = 12;
inline constexpr std::size_t kEndDirectoryOffset = 16;
}  // namespace field

}  // namespace ziptest
