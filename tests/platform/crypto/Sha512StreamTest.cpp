// The hashing write stream of signed downloads: the digest of exactly the bytes the target took,
// in any pieces, across a transfer that goes on at its end or starts again from 0; every other
// move refused.
#include <gtest/gtest.h>

#include <functional>

#include "CryptoTestUtil.h"
#include "platform/crypto/Sha512Stream.h"

using namespace cryptotest;
using namespace platform;

namespace {

TSha512Digest DigestOf(const std::string& AData) {
  TSha512 h;
  h.Update(AData.data(), AData.size());
  return h.Final();
}

std::string Bytes(rtl::TMemoryStream& AStream) {
  return std::string(reinterpret_cast<const char*>(AStream.Memory()), size_t(AStream.Size()));
}

// Writes AData in pieces of APiece bytes.
void WriteIn(rtl::TStream& AStream, const std::string& AData, size_t APiece) {
  for (size_t at = 0; at < AData.size(); at += APiece)
    AStream.WriteBuffer(AData.data() + at, int64_t(std::min(APiece, AData.size() - at)));
}

// A file that takes a limited number of bytes, as a full disk does.
class TFullTarget : public rtl::TMemoryStream {
 public:
  explicit TFullTarget(int64_t ARoom) : FRoom(ARoom) {}
  int64_t Write(const void* ABuffer, int64_t ACount) override {
    int64_t n = std::min(ACount, FRoom - Size());
    return n <= 0 ? 0 : TMemoryStream::Write(ABuffer, n);
  }

 private:
  int64_t FRoom;
};

TEST(Sha512WriteStream, DigestOfEverythingInAnyPieces) {
  // More than all pieces of the worker's ring, and not a whole number of pieces.
  const std::string data = PseudoRandom(Sha512PieceSize * (TSha512WriteStream::PieceCount + 3) + 777, 5);
  for (size_t piece : {size_t(1) << 13, size_t(1), size_t(4093), Sha512PieceSize, Sha512PieceSize + 1, data.size()}) {
    SCOPED_TRACE(piece);
    rtl::TMemoryStream file;
    TSha512WriteStream hashed(file);
    // Single bytes are slow: a small share of the data is enough for them.
    const std::string part = piece == 1 ? data.substr(0, 70000) : data;
    WriteIn(hashed, part, piece);
    EXPECT_EQ(hashed.Position(), int64_t(part.size()));
    EXPECT_EQ(hashed.Digest(), DigestOf(part));
    EXPECT_TRUE(Bytes(file) == part);
  }
  rtl::TMemoryStream file;
  TSha512WriteStream empty(file);
  EXPECT_EQ(empty.Digest(), DigestOf(""));
}

// A resumed transfer goes on at the end; one that starts again rewinds to 0 and cuts the file.
TEST(Sha512WriteStream, GoesOnAtTheEndAndStartsAgainAtZero) {
  const std::string first = PseudoRandom(3 * Sha512PieceSize + 5, 1), second = PseudoRandom(Sha512PieceSize / 2, 2);
  {
    rtl::TMemoryStream file;
    TSha512WriteStream hashed(file);
    WriteIn(hashed, first, 8192);
    EXPECT_EQ(hashed.Seek(0, rtl::soEnd), int64_t(first.size()));
    EXPECT_EQ(hashed.Seek(int64_t(first.size()), rtl::soBeginning), int64_t(first.size()));
    EXPECT_EQ(hashed.Seek(0, rtl::soCurrent), int64_t(first.size()));
    WriteIn(hashed, second, 8192);
    EXPECT_EQ(hashed.Digest(), DigestOf(first + second));
  }
  {
    rtl::TMemoryStream file;
    TSha512WriteStream hashed(file);
    WriteIn(hashed, first, 8192);
    EXPECT_EQ(hashed.Seek(0, rtl::soBeginning), 0);
    hashed.SetSize(0);
    WriteIn(hashed, second, 8192);
    EXPECT_EQ(hashed.Digest(), DigestOf(second));
    EXPECT_TRUE(Bytes(file) == second) << "the file holds the new transfer only";
  }
  {
    // SetSize(0) first, then the rewind; and a rewind from a piece in the middle of the ring.
    rtl::TMemoryStream file;
    TSha512WriteStream hashed(file);
    WriteIn(hashed, first.substr(0, Sha512PieceSize + 100), 8192);
    hashed.SetSize(0);
    EXPECT_EQ(hashed.Position(), 0);
    EXPECT_EQ(hashed.Seek(0, rtl::soBeginning), 0);
    WriteIn(hashed, first, 65536);
    EXPECT_EQ(hashed.Digest(), DigestOf(first));
  }
}

TEST(Sha512WriteStream, RefusesEveryOtherMove) {
  const std::string data = PseudoRandom(100000, 3);
  struct Case {
    const char* Name;
    std::function<void(TSha512WriteStream&)> Move;
  } cases[] = {
      {"back into the data", [](TSha512WriteStream& s) { s.Seek(50000, rtl::soBeginning); }},
      {"back by one", [](TSha512WriteStream& s) { s.Seek(-1, rtl::soCurrent); }},
      {"past the end", [](TSha512WriteStream& s) { s.Seek(1, rtl::soEnd); }},
      {"cut in the middle", [](TSha512WriteStream& s) { s.SetSize(50000); }},
      {"grown", [](TSha512WriteStream& s) { s.SetSize(200000); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    rtl::TMemoryStream file;
    TSha512WriteStream hashed(file);
    WriteIn(hashed, data, 8192);
    EXPECT_THROW(c.Move(hashed), rtl::EStreamError);
    // Nothing moved: the transfer can still go on at its end.
    WriteIn(hashed, "tail", 4);
    EXPECT_EQ(hashed.Digest(), DigestOf(data + "tail"));
  }
  rtl::TMemoryStream file;
  file.WriteBuffer("x", 1);
  EXPECT_THROW(TSha512WriteStream hashed(file), rtl::EStreamError) << "the digest must cover the file from 0";
  file.SetPosition(0);
  TSha512WriteStream hashed(file);
  hashed.Digest();
  EXPECT_THROW(hashed.WriteBuffer("y", 1), rtl::EStreamError);
  EXPECT_THROW(hashed.Digest(), rtl::EStreamError);
}

TEST(Sha512WriteStream, HashesOnlyWhatTheTargetTook) {
  const std::string data = PseudoRandom(Sha512PieceSize + 4096, 9);
  TFullTarget file(Sha512PieceSize);
  TSha512WriteStream hashed(file);
  EXPECT_THROW(WriteIn(hashed, data, 8192), rtl::EWriteError);
  EXPECT_EQ(hashed.Position(), int64_t(Sha512PieceSize));
  EXPECT_EQ(hashed.Digest(), DigestOf(data.substr(0, Sha512PieceSize)));
}

}  // namespace
