#include "firmware/ChunkFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <thread>

#include "firmware/LittleEndian.h"
#include "firmware/ScrambleKey.h"
#include "tests/firmware/FirmwareTestSupport.h"
#include "tools/ChunkWriter.h"

namespace {

constexpr char kCannotOpen[] = "cannot open firmware file\n";
constexpr char kCannotExpand[] = "error decompressing chunk.\n";

// Leftover bytes in the output show that a refused chunk did not clear it.
const FirmwareImage kStale = {0xAA, 0xBB, 0xCC};

struct ReadResult {
    FirmwareImage image;
    std::string out;
};

ReadResult ReadFile(const std::string& path, std::uint32_t cap = kControllerImageMaxSize) {
    ReadResult result{kStale, {}};
    ConsoleCapture console;
    ReadFirmwareImage(path, result.image, cap);
    result.out = console.out();
    return result;
}

ReadResult ReadMemory(const std::vector<std::uint8_t>& file, std::uint32_t cap = kControllerImageMaxSize) {
    ReadResult result{kStale, {}};
    ConsoleCapture console;
    ReadFirmwareImageFromMemory(file, result.image, cap);
    result.out = console.out();
    return result;
}

// A chunk file made by hand: a zlib stream of payload scrambled with the key
// of the given seed, behind a header with the given expanded size.
std::vector<std::uint8_t> HandMadeChunk(const FirmwareImage& payload, std::uint32_t expandedSize,
                                        std::uint32_t seed = kScrambleSeed) {
    uLongf storedSize = compressBound(static_cast<uLong>(payload.size()));
    std::vector<std::uint8_t> file(kChunkHeaderSize + storedSize);
    EXPECT_EQ(compress(file.data() + kChunkHeaderSize, &storedSize, payload.data(), static_cast<uLong>(payload.size())),
              Z_OK);
    file.resize(kChunkHeaderSize + storedSize);
    DescrambleChunk(file.data() + kChunkHeaderSize, file.data() + kChunkHeaderSize, storedSize, BuildScrambleKey(seed));
    WriteLittleEndian32(file.data(), expandedSize);
    WriteLittleEndian32(file.data() + 4, static_cast<std::uint32_t>(storedSize));
    return file;
}

// Every refused chunk gives the same outcome to the caller: an empty image and
// one console line.
void ExpectRefused(const ReadResult& result) {
    EXPECT_TRUE(result.image.empty());
    EXPECT_EQ(result.out, kCannotExpand);
}

class ChunkFileTest : public ::testing::Test {
protected:
    std::string Store(const std::vector<std::uint8_t>& bytes, const std::string& name = "x.dat") {
        std::string path = m_folder.file(name);
        WriteBytes(path, bytes);
        return path;
    }

    TempFolder m_folder;
};

TEST_F(ChunkFileTest, WrittenImagesReadBackUnchangedAndSilently) {
    for (const std::size_t size : {0u, 1u, 2u, 127u, 128u, 129u, 4096u, 100000u}) {
        SCOPED_TRACE(size);
        const FirmwareImage image = NoiseBytes(size, static_cast<std::uint32_t>(size));
        const std::vector<std::uint8_t> chunk = MakeChunkFile(image);

        const ReadResult fromFile = ReadFile(Store(chunk));
        EXPECT_EQ(fromFile.image, image);
        EXPECT_EQ(fromFile.out, "");

        const ReadResult fromMemory = ReadMemory(chunk);
        EXPECT_EQ(fromMemory.image, image);
        EXPECT_EQ(fromMemory.out, "");
    }
}

TEST_F(ChunkFileTest, BytesAfterTheStoredDataAreIgnored) {
    const FirmwareImage image = NoiseBytes(1000);
    std::vector<std::uint8_t> chunk = MakeChunkFile(image);
    chunk.insert(chunk.end(), 64, 0x5A);
    EXPECT_EQ(ReadFile(Store(chunk)).image, image);
    EXPECT_EQ(ReadMemory(chunk).image, image);
}

TEST_F(ChunkFileTest, MissingFileLeavesOutputUnchangedAndSaysSo) {
    ReadResult result;
    {
        ConsoleCapture console;
        result.image = kStale;
        ReadFirmwareImage(m_folder.file("absent.dat"), result.image, kControllerImageMaxSize);
        result.out = console.out();
        EXPECT_NE(console.err().find("absent.dat"), std::string::npos) << console.err();
    }
    EXPECT_EQ(result.out, kCannotOpen);
    EXPECT_EQ(result.image, kStale);

    // A folder in place of the file cannot be opened either.
    const ReadResult folder = ReadFile(m_folder.path().string());
    EXPECT_EQ(folder.out, kCannotOpen);
    EXPECT_EQ(folder.image, kStale);
}

TEST_F(ChunkFileTest, EveryTruncationIsRefused) {
    const std::vector<std::uint8_t> chunk = MakeChunkFile(NoiseBytes(600));
    for (std::size_t length = 0; length < chunk.size(); ++length) {
        SCOPED_TRACE(length);
        const std::vector<std::uint8_t> cut(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(length));
        ExpectRefused(ReadFile(Store(cut)));
        ExpectRefused(ReadMemory(cut));
    }
}

TEST_F(ChunkFileTest, StoredSizeBeyondTheFileIsRefusedBeforeReading) {
    std::vector<std::uint8_t> chunk = MakeChunkFile(NoiseBytes(600));
    for (const std::uint32_t stored : {static_cast<std::uint32_t>(chunk.size() - 7), 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        SCOPED_TRACE(stored);
        WriteLittleEndian32(chunk.data() + 4, stored);
        ExpectRefused(ReadFile(Store(chunk)));
        ExpectRefused(ReadMemory(chunk));
    }
}

TEST_F(ChunkFileTest, ExpandedSizeIsCappedByTheCaller) {
    const FirmwareImage image = NoiseBytes(4096);
    const std::string path = Store(MakeChunkFile(image));
    EXPECT_EQ(ReadFile(path, 4096).image, image);
    ExpectRefused(ReadFile(path, 4095));

    // The boot programmer cap is the FX3's 512 KB of system RAM, inclusive.
    const FirmwareImage fitsRam(kBootProgrammerImageMaxSize, 0x11);
    EXPECT_EQ(ReadFile(Store(MakeChunkFile(fitsRam)), kBootProgrammerImageMaxSize).image, fitsRam);
    const FirmwareImage exceedsRam(kBootProgrammerImageMaxSize + 1, 0x11);
    ExpectRefused(ReadFile(Store(MakeChunkFile(exceedsRam)), kBootProgrammerImageMaxSize));

    // A header announcing 4 GB is refused without allocating it.
    std::vector<std::uint8_t> huge = MakeChunkFile(image);
    WriteLittleEndian32(huge.data(), 0xFFFFFFFF);
    ExpectRefused(ReadFile(Store(huge)));
    ExpectRefused(ReadMemory(huge));
}

TEST_F(ChunkFileTest, ExpansionMustYieldExactlyTheAnnouncedSize) {
    const FirmwareImage payload = NoiseBytes(1000);
    // Too little data for the announced size: a short image is not passed on.
    ExpectRefused(ReadFile(Store(HandMadeChunk(payload, 1001))));
    ExpectRefused(ReadMemory(HandMadeChunk(payload, 1001)));
    // Too much data for it.
    ExpectRefused(ReadFile(Store(HandMadeChunk(payload, 999))));
    // Exactly right.
    EXPECT_EQ(ReadFile(Store(HandMadeChunk(payload, 1000))).image, payload);
}

TEST_F(ChunkFileTest, CorruptStoredDataIsRefused) {
    const FirmwareImage payload = NoiseBytes(5000);

    std::vector<std::uint8_t> flipped = MakeChunkFile(payload);
    flipped[flipped.size() / 2] ^= 0x10;
    ExpectRefused(ReadFile(Store(flipped)));

    std::vector<std::uint8_t> badChecksum = MakeChunkFile(payload);
    badChecksum.back() ^= 0x01;  // the stream's Adler-32 trailer
    ExpectRefused(ReadMemory(badChecksum));

    // Scrambled with another key, or not scrambled at all.
    ExpectRefused(ReadFile(Store(HandMadeChunk(payload, 5000, 0x12345678))));
    std::vector<std::uint8_t> plain = HandMadeChunk(payload, 5000);
    DescrambleChunk(plain.data() + kChunkHeaderSize, plain.data() + kChunkHeaderSize, plain.size() - kChunkHeaderSize,
                    BuildScrambleKey());
    ExpectRefused(ReadMemory(plain));

    // Not a zlib stream at all.
    std::vector<std::uint8_t> garbage = NoiseBytes(300, 9);
    WriteLittleEndian32(garbage.data(), 1000);
    WriteLittleEndian32(garbage.data() + 4, 292);
    ExpectRefused(ReadFile(Store(garbage)));
}

// A pipe cannot tell its length in advance; the reader must still stop at
// its end and refuse a short chunk.
TEST_F(ChunkFileTest, ReadsFromAPipe) {
    const FirmwareImage image = NoiseBytes(20000);
    const std::vector<std::uint8_t> chunk = MakeChunkFile(image);
    const std::string fifo = m_folder.file("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    for (const std::size_t length : {chunk.size(), chunk.size() - 100}) {
        SCOPED_TRACE(length);
        std::thread writer([&] {
            std::ofstream out(fifo, std::ios::binary);
            out.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(length));
        });
        const ReadResult result = ReadFile(fifo);
        writer.join();
        if (length == chunk.size()) {
            EXPECT_EQ(result.image, image);
            EXPECT_EQ(result.out, "");
        } else {
            ExpectRefused(result);
        }
    }
}

}  // namespace
