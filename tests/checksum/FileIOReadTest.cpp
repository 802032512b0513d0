// FileIO reads through the 2 MiB cache: lines and records across cache boundaries,
// the buffer-size limit, end of file, and offsets after reads and seeks.
#include <fcntl.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "checksum/FileIO.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {
namespace {

constexpr size_t kCache = FileIO::kCacheSize;

class FileIORead : public ::testing::Test {
  protected:
    // Opens `contents` for reading.
    FileIO& Open(const std::string& contents) {
        file_.reset(new FileIO(dir_.Write("data", contents), O_RDONLY));
        return *file_;
    }
    // The next line, or "<eof>" when ReadLine answers false.
    std::string Line(size_t size = 4096) {
        buf_.assign(size, '\0');
        char* p = buf_.data();
        return file_->ReadLine(&p, static_cast<int>(size)) ? std::string(p) : "<eof>";
    }
    std::string Data(int length) {
        buf_.assign(static_cast<size_t>(length) + 1, '\0');
        char* p = buf_.data();
        return file_->ReadData(&p, length) ? std::string(p, static_cast<size_t>(length)) : "<eof>";
    }

    TestEnv env_;
    TempDir dir_;
    std::unique_ptr<FileIO> file_;
    std::vector<char> buf_;
};

TEST_F(FileIORead, LinesOfAllLengthsAcrossManyCacheFills) {
    std::mt19937 rng(7);
    std::vector<std::string> lines;
    std::string contents;
    while (contents.size() < 3 * kCache) {
        size_t n = rng() % 5 == 0 ? 0 : rng() % 3000;
        std::string line(n, static_cast<char>('a' + lines.size() % 26));
        lines.push_back(line);
        contents += line + "\n";
    }
    Open(contents);
    long long offset = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        ASSERT_EQ(Line(), lines[i]) << "line " << i;
        offset += static_cast<long long>(lines[i].size()) + 1;
        ASSERT_EQ(file_->GetCurOffset(), offset) << "line " << i;
    }
    EXPECT_EQ(Line(), "<eof>");
    EXPECT_EQ(file_->GetCurOffset(), static_cast<long long>(contents.size()));
}

TEST_F(FileIORead, LineStraddlingOrEndingAtTheCacheBoundary) {
    // Newline as the last byte of the first fill, then one as the first byte of the
    // second, then a line that spans the boundary of the second and third fills.
    std::string contents(kCache - 1, 'x');
    contents += "\n";
    contents += std::string(kCache - 1, 'y');
    contents += "Y\n";
    contents += std::string(kCache - 50, 'z');
    const std::string straddle = std::string(20, 'p') + std::string(100, 'q');
    contents += "\n" + straddle + "\nlast\n";
    Open(contents);
    EXPECT_EQ(Line(kCache), std::string(kCache - 1, 'x'));
    EXPECT_EQ(Line(kCache + 1), std::string(kCache - 1, 'y') + "Y");
    EXPECT_EQ(Line(kCache), std::string(kCache - 50, 'z'));
    EXPECT_EQ(Line(), straddle);
    EXPECT_EQ(Line(), "last");
    EXPECT_EQ(Line(), "<eof>");
}

TEST_F(FileIORead, LineMustFitWithItsTerminator) {
    Open(std::string(4095, 'a') + "\n" + std::string(4096, 'b') + "\n");
    EXPECT_EQ(Line(4096), std::string(4095, 'a'));
    EXPECT_THROW(Line(4096), KyException);
    EXPECT_TRUE(env_.HasError("Supplied buffer is not big enough"));
    EXPECT_EQ(env_.CountLogs("Exception in FileIO :: ReadLine\tType:APPLICATION_EXCEPTION\tMsg:"
                             "Insufficient Buffer Size",
                             "FileIO :: ReadLine"),
              1);
    // Across a refill the limit holds the same way.
    Open(std::string(kCache - 10, 'c') + "\n" + std::string(30, 'd') + "\n");
    EXPECT_EQ(Line(kCache), std::string(kCache - 10, 'c'));
    Open(std::string(kCache + 5, 'e') + "\n");
    EXPECT_THROW(Line(kCache), KyException);
    Open("\n");
    EXPECT_EQ(Line(1), "");  // an empty line needs one byte, for the NUL
}

TEST_F(FileIORead, LastLineWithoutNewlineIsNotDelivered) {
    Open("a\nb");
    EXPECT_EQ(Line(), "a");
    EXPECT_EQ(file_->GetCurOffset(), 2);
    EXPECT_EQ(Line(), "<eof>");
    EXPECT_EQ(Line(), "<eof>");
    EXPECT_EQ(env_.CountLogs("Read Suceeded on [" + dir_.File("data") +
                                 "]. But returned less data.Ret:0 , Len:2097152 , CurOffset:3",
                             "FileIO :: ValidateCache"),
              1);  // the second call stops at the end-of-file flag
    Open("");
    EXPECT_EQ(Line(), "<eof>");
    EXPECT_EQ(Data(1), "<eof>");
}

TEST_F(FileIORead, RecordsAcrossTheBoundaryAndShortTail) {
    // Records shaped like hash records: a name line, then 65 raw bytes that may hold
    // newlines. The third one straddles the first cache fill.
    std::string digest(64, '\n');
    digest[5] = 'D';
    std::string contents = "extent0000000001\n" + digest + "\n";
    const std::string filler(kCache - contents.size() - 30, 'f');
    contents += filler + "\n";
    contents += "extent0000000002\n" + digest + "\n";
    contents += "0123456789";
    Open(contents);
    EXPECT_EQ(Line(), "extent0000000001");
    EXPECT_EQ(Data(65), digest + "\n");
    EXPECT_EQ(Line(kCache), filler);
    EXPECT_EQ(Line(), "extent0000000002");
    EXPECT_EQ(Data(65), digest + "\n");
    // 65 wanted, 10 left: false, with the ten bytes in the buffer.
    buf_.assign(66, '\0');
    char* p = buf_.data();
    EXPECT_FALSE(file_->ReadData(&p, 65));
    EXPECT_EQ(std::string(p, 10), "0123456789");
    EXPECT_EQ(Data(0), "<eof>");  // end-of-file flag set
}

TEST_F(FileIORead, OffsetsAfterReadsAndSeeks) {
    std::string contents = "abc\nsecond\n" + std::string(3 * kCache, 'm') + "\ntail\n";
    Open(contents);
    EXPECT_EQ(file_->GetCurOffset(), 0);
    EXPECT_EQ(Line(), "abc");
    EXPECT_EQ(file_->GetCurOffset(), 4);
    file_->SetCurOffset(0);
    EXPECT_EQ(file_->GetCurOffset(), 0);
    EXPECT_EQ(Line(), "abc");
    EXPECT_EQ(Line(), "second");
    // Far beyond the loaded cache, then back into the middle of a line.
    const long long tail = static_cast<long long>(contents.size()) - 5;
    file_->SetCurOffset(tail);
    EXPECT_EQ(file_->GetCurOffset(), tail);
    EXPECT_EQ(Line(), "tail");
    file_->SetCurOffset(5);
    EXPECT_EQ(Data(5), "econd");
    EXPECT_EQ(file_->GetCurOffset(), 10);
}

TEST_F(FileIORead, EndOfFileSticksUntilTheCacheIsValidatedAgain) {
    Open("one\ntwo\n");
    EXPECT_EQ(Line(), "one");
    EXPECT_EQ(Line(), "two");
    EXPECT_EQ(Line(), "<eof>");
    file_->SetCurOffset(0);  // a seek does not clear the flag
    EXPECT_EQ(Line(), "<eof>");
    EXPECT_TRUE(file_->ValidateCache());  // this does, and refills from offset 0
    EXPECT_EQ(Line(), "one");
}

}  // namespace
}  // namespace kzvol::testing
