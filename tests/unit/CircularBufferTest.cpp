#include "session/net/CircularBuffer.h"
#include "session/net/PacketQueue.h"

#include "common/Errors.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <new>
#include <numeric>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Contents(const BB_CircularBuffer& ring) {
  Bytes out(static_cast<std::size_t>(ring.Used()));
  ring.CopyOut(out.data(), ring.Used());
  return out;
}

Bytes Sequence(std::size_t count, std::uint8_t first = 0) {
  Bytes bytes(count);
  std::iota(bytes.begin(), bytes.end(), first);
  return bytes;
}

void Append(BB_CircularBuffer& ring, const Bytes& bytes) {
  ring.Append(bytes.data(), static_cast<std::int32_t>(bytes.size()));
}

Bytes Frame(const Bytes& payload) { return BuildFrame(payload.data(), payload.size()); }

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// Moves head and tail to `offset` in an empty ring so the next append starts there.
void PlaceAt(BB_CircularBuffer& ring, std::int32_t offset) {
  const Bytes filler(static_cast<std::size_t>(offset), 0xEE);
  Append(ring, filler);
  ring.Advance(offset);
  ASSERT_EQ(ring.Used(), 0);
}

Bytes PacketData(const Packet& packet) { return Bytes(packet.Data(), packet.Data() + packet.Size()); }

// --- the ring ---

TEST(CircularBufferRing, ReassemblesAcrossTheWrapPoint) {
  BB_CircularBuffer ring(16);
  PlaceAt(ring, 10);
  const Bytes chunk = Sequence(12, 1);
  Append(ring, chunk);
  EXPECT_EQ(ring.Capacity(), 16);
  EXPECT_EQ(ring.Used(), 12);
  EXPECT_EQ(Contents(ring), chunk);
}

TEST(CircularBufferRing, ChunkEndingAtArrayEndContinuesAtZero) {
  BB_CircularBuffer ring(16);
  PlaceAt(ring, 10);
  Append(ring, Sequence(6, 1));  // tail lands exactly on the end of the array
  Append(ring, Sequence(3, 7));
  EXPECT_EQ(ring.Capacity(), 16);
  EXPECT_EQ(Contents(ring), Sequence(9, 1));
}

TEST(CircularBufferRing, GrowsWhenChunkIsNotStrictlyBelowFreeRoom) {
  BB_CircularBuffer small(16);
  Append(small, Sequence(15));
  EXPECT_EQ(small.Capacity(), 16);  // 15 < 16 free: fits, ring not full

  BB_CircularBuffer exact(16);
  Append(exact, Sequence(16));
  EXPECT_EQ(exact.Capacity(), 32);  // filling completely would look empty
  EXPECT_EQ(Contents(exact), Sequence(16));
}

TEST(CircularBufferRing, DoublesRepeatedlyKeepingOrder) {
  BB_CircularBuffer ring(16);
  Append(ring, Sequence(5));
  Append(ring, Sequence(100, 5));
  EXPECT_EQ(ring.Capacity(), 128);
  EXPECT_EQ(Contents(ring), Sequence(105));
}

TEST(CircularBufferRing, GrowthUnwrapsWrappedData) {
  BB_CircularBuffer ring(16);
  PlaceAt(ring, 10);
  Append(ring, Sequence(10, 1));  // wraps: 6 bytes at the end, 4 at the start
  Append(ring, Sequence(20, 11));
  EXPECT_EQ(ring.Capacity(), 32);
  EXPECT_EQ(Contents(ring), Sequence(30, 1));
  // And the grown ring keeps working across its new wrap point.
  ring.Advance(25);
  Append(ring, Sequence(20, 31));
  EXPECT_EQ(Contents(ring), Sequence(25, 26));
}

TEST(CircularBufferRing, OverreachIsLoggedAndClamped) {
  BB_CircularBuffer ring(16);
  Append(ring, Sequence(4, 1));
  Bytes out(8, 0xCC);
  testing::internal::CaptureStdout();
  ring.CopyOut(out.data(), 8);
  ring.Advance(5);
  const std::string log = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, (Bytes{1, 2, 3, 4, 0xCC, 0xCC, 0xCC, 0xCC}));
  EXPECT_NE(log.find("ERROR-> GetData error\n"), std::string::npos);
  EXPECT_NE(log.find("ERROR-> 1\n"), std::string::npos);
  EXPECT_EQ(ring.Used(), 0);
}

TEST(SocketLog, UsesTheFixedFormat) {
  testing::internal::CaptureStdout();
  fail::Log("socket send error!", fail::kApiSocketSource, 42);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR-> socket send error!\nSources\\Launcher\\APISocket: 42\n\n");
}

// What escapes a thread's entry or the window procedure becomes a text there:
// the player's text of a fail::Error (its system code kept apart), the text of
// any std::exception, the fallback for anything else; a clean run passes its
// result through.
TEST(SocketLog, TheEdgeCatchTurnsWhatEscapesIntoItsText) {
  const auto edge = [](auto body) {
    return fail::CatchAtEdge(body, [](const std::string& text) { return "caught: " + text; }, "unexpected exception");
  };
  EXPECT_EQ(edge([]() -> std::string { fail::Throw(fail::Kind::kDisk, "Not enough disk space.", 112); }),
            "caught: Not enough disk space.");
  EXPECT_EQ(edge([]() -> std::string { throw std::out_of_range("packet underflow"); }), "caught: packet underflow");
  EXPECT_EQ(edge([]() -> std::string { throw 7; }), "caught: unexpected exception");
  EXPECT_EQ(edge([] { return std::string("clean"); }), "clean");
  try {
    fail::Throw(fail::Kind::kDisk, "Not enough disk space.", 112);
  } catch (const fail::Error& error) {
    EXPECT_STREQ(error.what(), "Not enough disk space.");
    EXPECT_EQ(error.SystemCode(), 112u);
  }
}

// An edge reports a player's text as it is, and anything else (a failed
// low-level call, the standard library) as the operation's own text, with the
// kind and code behind it; a full disk is named however the step called it.
TEST(SocketLog, AnEdgeNeverShowsALowLevelText) {
  struct CallFailure : fail::Error {
    explicit CallFailure(unsigned long code) : fail::Error(fail::FileKind(code), "remove: denied", code, false) {}
  };
  const std::string operation = "Cannot update the client folder.";
  const auto reported = [&](auto body) {
    try {
      body();
    } catch (const std::exception& error) {
      return fail::FailureOf(error, operation);
    }
    return fail::Failure{};
  };
  using fail::Kind;
  struct Case {
    std::function<void()> body;
    Kind kind;
    std::string text;
    unsigned long code;
  };
  const Case cases[] = {
      {[] { fail::Throw(Kind::kNetwork, "Update connection interrupted.", 12030); }, Kind::kNetwork,
       "Update connection interrupted.", 12030},
      {[] { throw CallFailure(32); }, Kind::kLocked, operation, 32},
      {[] { throw CallFailure(3); }, Kind::kDisk, operation, 3},
      {[] { throw CallFailure(112); }, Kind::kDisk, "Cannot update the client folder; check disk space.", 112},
      {[] { throw std::system_error(5, std::system_category()); }, Kind::kLocked, operation, 5},
      {[] { throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again)); },
       Kind::kInternal, operation, 0},
      {[] { throw std::bad_alloc(); }, Kind::kInternal, operation, 0},
      {[] { fail::ThrowNamingDisk(Kind::kLocked, "Cannot create downloaded file.", 39); }, Kind::kDisk,
       "Cannot create downloaded file; check disk space.", 39},
      {[] { fail::ThrowNamingDisk(Kind::kLocked, "Cannot create downloaded file.", 32); }, Kind::kLocked,
       "Cannot create downloaded file.", 32},
  };
  for (const Case& c : cases) {
    const fail::Failure failure = reported(c.body);
    EXPECT_EQ(failure.kind, c.kind) << c.text;
    EXPECT_EQ(failure.text, c.text);
    EXPECT_EQ(failure.systemCode, c.code) << c.text;
  }
}

// --- frames ---

TEST(FrameBuild, WrapsPayloadInMarkersAndLittleEndianLength) {
  EXPECT_EQ(Frame({0x02, 0x34, 0x12}), (Bytes{0xAA, 0x55, 0x03, 0x00, 0x02, 0x34, 0x12, 0x55, 0xAA}));
  const Bytes big(0x0102, 7);
  const Bytes frame = Frame(big);
  ASSERT_EQ(frame.size(), big.size() + 6);
  EXPECT_EQ(frame[2], 0x02);
  EXPECT_EQ(frame[3], 0x01);
  EXPECT_TRUE(Frame(Bytes(0x10000, 0)).empty());  // the length field cannot say it
}

TEST(FrameExtract, TwoFramesFromOneChunkInOrder) {
  BB_CircularBuffer ring;
  Append(ring, Concat({Frame({0x01, 0x05, 0x00}), Frame({0x03, 0x00, 0x00})}));
  std::unique_ptr<Packet> packet;
  ASSERT_EQ(ExtractFrame(ring, packet), FrameStatus::Taken);
  EXPECT_EQ(packet->Opcode(), 0x01);
  EXPECT_EQ(packet->ReadUInt16(), 5);
  ASSERT_EQ(ExtractFrame(ring, packet), FrameStatus::Taken);
  EXPECT_EQ(packet->Opcode(), 0x03);
  EXPECT_EQ(ExtractFrame(ring, packet), FrameStatus::None);
  EXPECT_EQ(packet, nullptr);
  EXPECT_EQ(ring.Used(), 0);
}

TEST(FrameExtract, OneBytePayloadIsAnOpcodeWithoutData) {
  BB_CircularBuffer ring;
  Append(ring, Frame({0x7E}));
  std::unique_ptr<Packet> packet;
  ASSERT_EQ(ExtractFrame(ring, packet), FrameStatus::Taken);
  EXPECT_EQ(packet->Opcode(), 0x7E);
  EXPECT_EQ(packet->Size(), 0u);
  EXPECT_EQ(packet->ReadPosition(), 0u);
}

TEST(FrameExtract, FrameSplitAcrossTwoAppendsWaitsThenArrivesWhole) {
  BB_CircularBuffer ring;
  const Bytes frame = Frame({0x02, 'a', 'b', 'c', 'd', 'e'});
  Append(ring, Bytes(frame.begin(), frame.begin() + 8));  // length known, tail not there yet
  std::unique_ptr<Packet> packet;
  EXPECT_EQ(ExtractFrame(ring, packet), FrameStatus::None);
  EXPECT_EQ(ring.Used(), 8);  // nothing consumed, nothing dropped
  Append(ring, Bytes(frame.begin() + 8, frame.end()));
  ASSERT_EQ(ExtractFrame(ring, packet), FrameStatus::Taken);
  EXPECT_EQ(PacketData(*packet), (Bytes{'a', 'b', 'c', 'd', 'e'}));
}

TEST(FrameExtract, FrameAcrossTheWrapPointIsByteExact) {
  for (std::int32_t start = 5; start < 16; ++start) {
    SCOPED_TRACE(start);
    BB_CircularBuffer ring(16);
    PlaceAt(ring, start);
    const Bytes payload = {0x02, 0xA1, 0xB2, 0xC3, 0xD4};
    Append(ring, Frame(payload));
    ASSERT_EQ(ring.Capacity(), 16);
    std::unique_ptr<Packet> packet;
    ASSERT_EQ(ExtractFrame(ring, packet), FrameStatus::Taken);
    EXPECT_EQ(packet->Opcode(), 0x02);
    EXPECT_EQ(PacketData(*packet), Bytes(payload.begin() + 1, payload.end()));
    EXPECT_EQ(ring.Used(), 0);
  }
}

TEST(FrameExtract, SixBytesAreNotExaminedUntilASeventhCloses) {
  BB_CircularBuffer ring;
  std::unique_ptr<Packet> packet;
  testing::internal::CaptureStdout();
  Append(ring, Frame({}));  // AA 55 00 00 55 AA
  EXPECT_EQ(ExtractFrame(ring, packet), FrameStatus::None);
  EXPECT_EQ(ring.Used(), 6);
  Append(ring, Bytes{0x00});
  EXPECT_EQ(ExtractFrame(ring, packet), FrameStatus::Close);
  EXPECT_EQ(packet, nullptr);
  EXPECT_EQ(ring.Used(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(FrameExtract, SixBytesOfGarbageAreNotExaminedEither) {
  BB_CircularBuffer ring;
  std::unique_ptr<Packet> packet;
  testing::internal::CaptureStdout();
  Append(ring, Bytes(6, 0x00));
  EXPECT_EQ(ExtractFrame(ring, packet), FrameStatus::None);
  EXPECT_EQ(ring.Used(), 6);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(FrameExtract, ZeroLengthClosesEvenWithAValidFrameBehind) {
  BB_CircularBuffer ring;
  Append(ring, Concat({Frame({}), Frame({0x01, 0x09, 0x00})}));
  std::unique_ptr<Packet> packet;
  EXPECT_EQ(ExtractFrame(ring, packet), FrameStatus::Close);
  EXPECT_EQ(ring.Used(), 0);
}

TEST(FrameExtract, GarbageAheadDropsTheValidFrameWithIt) {
  BB_CircularBuffer ring;
  std::unique_ptr<Packet> packet;
  testing::internal::CaptureStdout();
  Append(ring, Concat({Bytes{0x13, 0x37}, Frame({0x01, 0x09, 0x00})}));
  EXPECT_EQ(ExtractFrame(ring, packet), FrameStatus::None);
  EXPECT_EQ(ring.Used(), 0);
  const std::string log = testing::internal::GetCapturedStdout();
  EXPECT_EQ(log.rfind("ERROR-> broken packet header.. skip!\nSources\\Launcher\\APISocket: ", 0), 0u) << log;

  // The stream restarts with whatever arrives next.
  Append(ring, Frame({0x01, 0x09, 0x00}));
  ASSERT_EQ(ExtractFrame(ring, packet), FrameStatus::Taken);
  EXPECT_EQ(packet->ReadUInt16(), 9);
}

TEST(FrameExtract, WrongTailDropsBufferedBytesAndTheLinkRecovers) {
  BB_CircularBuffer ring;
  std::unique_ptr<Packet> packet;
  Bytes broken = Frame({0x01, 0x09, 0x00});
  broken.back() = 0x00;  // 55 00 instead of 55 AA
  testing::internal::CaptureStdout();
  // A good frame right behind the broken one goes too: once a length has
  // proven wrong, nothing after it can be trusted to start on a boundary.
  Append(ring, Concat({broken, Frame({0x03, 0x00, 0x00})}));
  EXPECT_EQ(ExtractFrame(ring, packet), FrameStatus::None);
  EXPECT_EQ(packet, nullptr);
  EXPECT_EQ(ring.Used(), 0);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("ERROR-> broken packet tail.. skip!\n"), std::string::npos);

  // Unlike a frame that is never consumed, the next frame gets through.
  Append(ring, Frame({0x01, 0x07, 0x00}));
  ASSERT_EQ(ExtractFrame(ring, packet), FrameStatus::Taken);
  EXPECT_EQ(packet->ReadUInt16(), 7);
}

TEST(FrameExtract, LargestFrameThroughASmallRingInChunks) {
  BB_CircularBuffer ring(16);
  Bytes payload(0xFFFF);
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 7);
  const Bytes frame = Frame(payload);
  std::unique_ptr<Packet> packet;
  for (std::size_t offset = 0; offset < frame.size(); offset += 1000) {
    const std::size_t end = std::min(frame.size(), offset + 1000);
    Append(ring, Bytes(frame.begin() + static_cast<std::ptrdiff_t>(offset), frame.begin() + static_cast<std::ptrdiff_t>(end)));
    if (end < frame.size()) {
      ASSERT_EQ(ExtractFrame(ring, packet), FrameStatus::None) << offset;
    }
  }
  ASSERT_EQ(ExtractFrame(ring, packet), FrameStatus::Taken);
  EXPECT_EQ(packet->Opcode(), payload[0]);
  EXPECT_EQ(PacketData(*packet), Bytes(payload.begin() + 1, payload.end()));
}

TEST(FrameExtract, RandomChunkingOfAFrameStreamKeepsEveryPacket) {
  // Many small frames cut at random points, fed through a ring that starts
  // tiny and is drained as it goes, so appends, growth and extraction meet
  // the wrap point in every combination.
  std::mt19937 random(20240611);
  std::vector<Bytes> payloads;
  Bytes stream;
  for (int i = 0; i < 400; ++i) {
    Bytes payload(1 + random() % 40);
    for (auto& byte : payload) byte = static_cast<std::uint8_t>(random());
    const Bytes frame = Frame(payload);
    stream.insert(stream.end(), frame.begin(), frame.end());
    payloads.push_back(std::move(payload));
  }

  BB_CircularBuffer ring(8);
  std::vector<Bytes> received;
  std::size_t offset = 0;
  while (offset < stream.size()) {
    const std::size_t n = std::min<std::size_t>(stream.size() - offset, 1 + random() % 60);
    Append(ring, Bytes(stream.begin() + static_cast<std::ptrdiff_t>(offset),
                       stream.begin() + static_cast<std::ptrdiff_t>(offset + n)));
    offset += n;
    std::unique_ptr<Packet> packet;
    while (ExtractFrame(ring, packet) == FrameStatus::Taken) {
      Bytes whole{packet->Opcode()};
      const Bytes data = PacketData(*packet);
      whole.insert(whole.end(), data.begin(), data.end());
      received.push_back(std::move(whole));
    }
  }
  EXPECT_EQ(ring.Used(), 0);
  EXPECT_EQ(received, payloads);
}

// --- the packet queue between the window thread and the update thread ---

std::unique_ptr<Packet> PacketOf(std::size_t dataBytes, std::uint8_t opcode = 0x03) {
  const Bytes data(dataBytes, 0x41);
  return std::make_unique<Packet>(opcode, data.data(), data.size());
}

TEST(PacketQueue, RefusesPastEitherBoundAndPopGivesRoomBack) {
  PacketQueue byCount(2, 1u << 30);
  EXPECT_TRUE(byCount.Push(PacketOf(0, 1)));
  EXPECT_TRUE(byCount.Push(PacketOf(0, 2)));
  EXPECT_FALSE(byCount.Push(PacketOf(0, 3)));
  EXPECT_EQ(byCount.Count(), 2u);
  EXPECT_EQ(byCount.Pop()->Opcode(), 1);
  EXPECT_TRUE(byCount.Push(PacketOf(0, 4)));
  EXPECT_EQ(byCount.Pop()->Opcode(), 2);
  EXPECT_EQ(byCount.Pop()->Opcode(), 4);
  EXPECT_EQ(byCount.Pop(), nullptr);

  // Bytes are the packets' storage: a one-byte packet still holds its 4096-byte reserve.
  // How far storage grows past 4096 is the library's choice, so the bound is
  // set from what the packets really hold.
  const std::size_t small = PacketQueue::Cost(*PacketOf(0));
  const std::size_t large = PacketQueue::Cost(*PacketOf(6000));
  ASSERT_GE(small, 4096u);
  ASSERT_GE(large, 6000u);
  PacketQueue byBytes(100, small + large - 1);
  EXPECT_TRUE(byBytes.Push(PacketOf(0)));
  EXPECT_FALSE(byBytes.Push(PacketOf(6000)));  // would pass the bound by one byte
  EXPECT_TRUE(byBytes.Push(PacketOf(0)));
  EXPECT_EQ(byBytes.Bytes(), 2 * small);
  byBytes.Pop();
  EXPECT_EQ(byBytes.Bytes(), small);
  byBytes.Clear();
  EXPECT_EQ(byBytes.Count(), 0u);
  EXPECT_EQ(byBytes.Bytes(), 0u);
  EXPECT_TRUE(byBytes.Push(PacketOf(6000)));
}

TEST(PacketQueue, DefaultBoundsStopAFloodButTakeTheLargestFrames) {
  PacketQueue queue;
  std::size_t accepted = 0;
  while (queue.Push(PacketOf(0)) && accepted <= kMaxQueuedPackets) ++accepted;
  EXPECT_EQ(accepted, kMaxQueuedPackets);
  EXPECT_LE(queue.Bytes(), kMaxQueuedBytes);

  // The login protocol's largest frame, many times over, is never refused.
  queue.Clear();
  for (int i = 0; i < 64; ++i) ASSERT_TRUE(queue.Push(PacketOf(0xFFFE)));
}

}  // namespace

// The update thread sleeps in WaitPop: a packet from another thread or the
// link's close must end the wait long before its timeout.
TEST(PacketQueue, WaitPopWakesForAPacketAndForTheClose) {
  PacketQueue queue;
  std::thread producer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    static_cast<void>(queue.Push(PacketOf(0, 7)));
  });
  auto packet = queue.WaitPop(std::chrono::minutes(5));
  producer.join();
  ASSERT_NE(packet, nullptr);
  EXPECT_EQ(packet->Opcode(), 7);

  std::thread closer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    queue.CloseWaits();
  });
  EXPECT_EQ(queue.WaitPop(std::chrono::minutes(5)), nullptr);
  closer.join();
  EXPECT_EQ(queue.WaitPop(std::chrono::minutes(5)), nullptr);  // closed: no wait at all

  // Reopened, queued packets come out again and an empty queue times out.
  queue.Reopen();
  ASSERT_TRUE(queue.Push(PacketOf(0, 8)));
  EXPECT_EQ(queue.WaitPop(std::chrono::minutes(5))->Opcode(), 8);
  EXPECT_EQ(queue.WaitPop(std::chrono::milliseconds(10)), nullptr);
}
