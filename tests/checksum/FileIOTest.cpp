// FileIO: modes, exception texts and types, writing, closing, the fork guard in a
// real child process, and reads through the 2 MiB cache: lines and records across
// cache boundaries, the buffer-size limit, end of file, offsets after seeks.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "checksum/FileIO.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {
namespace {

constexpr int kRead = O_RDONLY;
constexpr int kTruncate = O_WRONLY | O_CREAT | O_TRUNC;
constexpr int kCreate = O_WRONLY | O_CREAT;

// Runs `body`, which must throw a KyException of `type` whose text holds `text`.
template <typename Body>
void ExpectThrow(Body&& body, KyExceptionTypes type, const std::string& text) {
    try {
        body();
        ADD_FAILURE() << "no KyException, wanted " << text;
    } catch (const KyException& e) {
        EXPECT_EQ(e.getType(), type) << e.what();
        EXPECT_NE(std::string(e.what()).find(text), std::string::npos) << e.what();
    }
}
constexpr KyExceptionTypes kApp = KY_APPLICATION_EXCEPTION, kSys = KY_SYSTEM_EXCEPTION;

TEST(KyExceptionTest, TextNamesPlaceTypeWordAndMessageWithinItsBuffer) {
    const char* words[] = {"SYSTEM_EXCEPTION",      "APPLICATION_EXCEPTION", "SYSTEM_EXCEPTION",
                           "APPLICATION_EXCEPTION", "APPLICATION_EXCEPTION", "UNKNOWN_EXCEPTION"};
    for (int type = 0; type < 6; ++type) {
        KyException e("FileIO :: close", static_cast<KyExceptionTypes>(type), "close failed");
        EXPECT_EQ(std::string(e.what()), std::string("Exception in FileIO :: close\tType:") +
                                             words[type] + "\tMsg:close failed");
    }
    const std::string longMessage(5000, 'm');
    KyException cut("here", KY_APPLICATION_EXCEPTION, longMessage.c_str());
    EXPECT_EQ(std::string(cut.what()).size(), 4095u);
}

class FileIOTest : public ::testing::Test {
  protected:
    TestEnv env_;
    TempDir dir_;
    char buf_[64];
    char* p_ = buf_;
};

// Opens: an unsupported mode, a missing file to read (not created), a path that
// cannot be created; then each call refused in the wrong mode, and failures of
// write, read and seek, each a KyException of its kind; the object stays usable.
TEST_F(FileIOTest, RefusalsAndFailuresThrowTheirKind) {
    std::string path = dir_.Write("f", "line\n"), missing = dir_.File("missing");
    ExpectThrow([&] { FileIO f(path, O_RDWR); }, kApp,
                "Exception in FileIO :: FileIO\tType:APPLICATION_EXCEPTION\tMsg:UnSupported Mode");
    ExpectThrow([&] { FileIO f(missing, kRead); }, KY_FILE_NOT_FOUND,
                "\tMsg:Read from a non-existent file");
    EXPECT_NE(::access(missing.c_str(), F_OK), 0);
    ExpectThrow([&] { FileIO f(dir_.File("no/such/dir"), kTruncate); }, kSys,
                "\tMsg:File Open failed");
    FileIO reader(path, kRead), writer(dir_.File("w"), kTruncate);
    ExpectThrow([&] { reader.WriteData("x", 1); }, kApp, "WriteData\tType:APPLICATION_EXCEPTION");
    ExpectThrow([&] { writer.ReadLine(&p_, sizeof buf_); }, kApp, "Msg:ImProper Usage");
    EXPECT_THROW(writer.ReadData(&p_, 4), KyException);
    EXPECT_TRUE(writer.WriteData("ok", 2));
    EXPECT_TRUE(reader.ReadLine(&p_, sizeof buf_));
    EXPECT_STREQ(buf_, "line");
    FileIO full("/dev/full", kCreate);
    ExpectThrow([&] { full.WriteData("x", 1); }, kSys, "Msg:Write failed");
    FileIO directory(dir_.path(), kRead);  // opens, but read() answers EISDIR
    ExpectThrow([&] { directory.ReadData(&p_, 1); }, kSys, "Msg:Read failed");
    ExpectThrow([&] { directory.SetCurOffset(-1); }, kSys, "Msg:lseek failed");
}

TEST_F(FileIOTest, WriteModesCreateTruncateOrOverwriteInPlace) {
    mode_t old = ::umask(022);
    {
        FileIO f(dir_.File("new"), kTruncate);
        EXPECT_TRUE(f.WriteData("abc", 3));
        EXPECT_TRUE(f.WriteData("de", 2));
    }
    ::umask(old);
    struct stat st;
    ASSERT_EQ(::stat(dir_.File("new").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(ReadFile(dir_.File("new")), "abcde");
    std::string path = dir_.Write("old", "0123456789");
    FileIO(path, kCreate).WriteData("XY", 2);
    EXPECT_EQ(ReadFile(path), "XY23456789");  // keeps the contents, writes from the start
    FileIO(path, kTruncate).WriteData("Z", 1);
    EXPECT_EQ(ReadFile(path), "Z");
}

// The descriptor a FileIO holds on `path`, found through /proc.
int DescriptorOf(const std::string& path) {
    for (int fd = 3; fd < 1024; ++fd) {
        char target[4096];
        std::string link = "/proc/self/fd/" + std::to_string(fd);
        ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<size_t>(n)) == path)
            return fd;
    }
    return -1;
}

TEST_F(FileIOTest, CloseIsOnceAndAFailedCloseForgetsTheDescriptor) {
    std::string path = dir_.Write("f", "a\n");
    const int before = OpenDescriptorCount();
    {
        FileIO f(path, kRead);
        EXPECT_EQ(OpenDescriptorCount(), before + 1);
        f.Close();
        EXPECT_EQ(OpenDescriptorCount(), before);
        EXPECT_NO_THROW(f.Close());  // only logs
    }
    EXPECT_EQ(OpenDescriptorCount(), before);

    int reused = -1;
    {
        FileIO f(path, kRead);
        int fd = DescriptorOf(path);
        ASSERT_GE(fd, 0);
        ::close(fd);  // behind its back: close() now fails with EBADF
        ExpectThrow([&] { f.Close(); }, kSys, "Msg:close failed");
        // A descriptor number reused since must not be closed by a retry.
        reused = ::open("/dev/null", O_RDONLY);
        EXPECT_EQ(reused, fd);
        f.Close();
    }
    EXPECT_NE(::fcntl(reused, F_GETFD), -1);  // neither Close nor the destructor took it
    ::close(reused);
}

// In a child that inherited the objects, each guarded call must throw "Improper
// Usage" from its own context; the parent goes on where it was.
TEST_F(FileIOTest, ForkGuardRefusesTheChildProcess) {
    FileIO reader(dir_.Write("f", "first\nsecond\n"), kRead);
    FileIO writer(dir_.File("out"), kTruncate);
    ASSERT_TRUE(reader.ReadLine(&p_, sizeof buf_));  // cache filled before the fork
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const std::string refused = "\tType:APPLICATION_EXCEPTION\tMsg:Improper Usage";
        ExpectThrow([&] { reader.ReadLine(&p_, sizeof buf_); }, kApp, "ReadLine" + refused);
        ExpectThrow([&] { reader.ReadData(&p_, 4); }, kApp, "ReadData" + refused);
        ExpectThrow([&] { writer.WriteData("child", 5); }, kApp, "WriteData" + refused);
        ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ASSERT_TRUE(reader.ReadLine(&p_, sizeof buf_));
    EXPECT_STREQ(buf_, "second");
    EXPECT_TRUE(writer.WriteData("parent", 6));
    EXPECT_EQ(ReadFile(dir_.File("out")), "parent");
}

constexpr size_t kCache = FileIO::kCacheSize;

class FileIORead : public FileIOTest {
  protected:
    // Opens `contents` for reading.
    void Open(const std::string& contents) {
        file_.reset(new FileIO(dir_.Write("data", contents), O_RDONLY));
    }
    // The next line, or "<eof>" when ReadLine answers false.
    std::string Line(size_t size = 4096) {
        read_.assign(size, '\0');
        char* p = read_.data();
        return file_->ReadLine(&p, static_cast<int>(size)) ? std::string(p) : "<eof>";
    }
    std::string Data(int length) {
        read_.assign(static_cast<size_t>(length) + 1, '\0');
        char* p = read_.data();
        return file_->ReadData(&p, length) ? std::string(p, static_cast<size_t>(length)) : "<eof>";
    }

    std::unique_ptr<FileIO> file_;
    std::vector<char> read_;
};

// Newline as the last byte of the first fill, then one as the first byte of the
// second, then lines of all lengths (empty ones too) across several more fills:
// each comes back whole, with the offset just past it.
TEST_F(FileIORead, LinesOfAllLengthsAcrossManyCacheFills) {
    std::vector<std::string> lines = {std::string(kCache - 1, 'x'),
                                      std::string(kCache - 1, 'y') + "Y"};
    std::string contents = lines[0] + "\n" + lines[1] + "\n";
    std::mt19937 rng(7);
    while (contents.size() < 5 * kCache) {
        size_t n = rng() % 5 == 0 ? 0 : rng() % 3000;
        lines.emplace_back(n, static_cast<char>('a' + lines.size() % 26));
        contents += lines.back() + "\n";
    }
    Open(contents);
    long long offset = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        ASSERT_EQ(Line(i < 2 ? kCache + 1 : 4096), lines[i]) << "line " << i;
        offset += static_cast<long long>(lines[i].size()) + 1;
        ASSERT_EQ(file_->GetCurOffset(), offset) << "line " << i;
    }
    EXPECT_EQ(Line(), "<eof>");
    EXPECT_EQ(file_->GetCurOffset(), static_cast<long long>(contents.size()));
}

TEST_F(FileIORead, LineMustFitWithItsTerminator) {
    Open(std::string(4095, 'a') + "\n" + std::string(4096, 'b') + "\n");
    EXPECT_EQ(Line(4096), std::string(4095, 'a'));
    EXPECT_THROW(Line(4096), KyException);
    // Across a refill the limit holds the same way.
    Open(std::string(kCache - 10, 'c') + "\n" + std::string(30, 'd') + "\n");
    EXPECT_EQ(Line(kCache), std::string(kCache - 10, 'c'));
    Open(std::string(kCache + 5, 'e') + "\n");
    EXPECT_THROW(Line(kCache), KyException);
    Open("\n");
    EXPECT_EQ(Line(1), "");  // an empty line needs one byte, for the NUL
}

TEST_F(FileIORead, EndOfFileDropsAnUnfinishedLineAndSticksUntilValidated) {
    Open("a\nb");
    EXPECT_EQ(Line(), "a");
    EXPECT_EQ(file_->GetCurOffset(), 2);
    EXPECT_EQ(Line(), "<eof>");
    EXPECT_EQ(Line(), "<eof>");
    file_->SetCurOffset(0);  // a seek does not clear the flag
    EXPECT_EQ(Line(), "<eof>");
    EXPECT_TRUE(file_->ValidateCache());  // this does, and refills from offset 0
    EXPECT_EQ(Line(), "a");
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
    read_.assign(66, '\0');
    char* p = read_.data();
    EXPECT_FALSE(file_->ReadData(&p, 65));
    EXPECT_EQ(std::string(p, 10), "0123456789");
    EXPECT_EQ(Data(0), "<eof>");  // end-of-file flag set
}

TEST_F(FileIORead, OffsetsAfterReadsAndSeeks) {
    std::string contents = "abc\nsecond\n" + std::string(3 * kCache, 'm') + "\ntail\n";
    Open(contents);
    EXPECT_EQ(Line(), "abc");
    file_->SetCurOffset(0);
    EXPECT_EQ(Line(), "abc");
    EXPECT_EQ(Line(), "second");
    // Far beyond the loaded cache, then back into the middle of a line.
    const long long tail = static_cast<long long>(contents.size()) - 5;
    file_->SetCurOffset(tail);
    EXPECT_EQ(Line(), "tail");
    file_->SetCurOffset(5);
    EXPECT_EQ(Data(5), "econd");
    EXPECT_EQ(file_->GetCurOffset(), 10);
}

}  // namespace
}  // namespace kzvol::testing
