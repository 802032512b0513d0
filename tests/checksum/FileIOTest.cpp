// FileIO: modes, exceptions, writing, closing, the fork guard, reads through the cache.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "checksum/FileIO.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {
namespace {

constexpr int kRead = O_RDONLY, kTruncate = O_WRONLY | O_CREAT | O_TRUNC;
constexpr KyExceptionTypes kApp = KY_APPLICATION_EXCEPTION, kSys = KY_SYSTEM_EXCEPTION;
constexpr size_t kCache = FileIO::kCacheSize;

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

// The next line or `length` bytes; "<eof>" (and what ReadData gave) on false.
std::string Line(FileIO& f, size_t size = 4096) {
    std::vector<char> buffer(size, '\0');
    char* p = buffer.data();
    return f.ReadLine(&p, static_cast<int>(size)) ? std::string(p) : "<eof>";
}
std::string Data(FileIO& f, int length) {
    std::vector<char> buffer(static_cast<size_t>(length) + 1, '\0');
    char* p = buffer.data();
    return f.ReadData(&p, length) ? std::string(p, length) : "<eof>" + std::string(p);
}

TEST(KyExceptionTest, TextNamesPlaceTypeWordAndMessageWithinItsBuffer) {
    const char* words[] = {"SYSTEM",      "APPLICATION", "SYSTEM",
                           "APPLICATION", "APPLICATION", "UNKNOWN"};
    for (int type = 0; type < 6; ++type)
        EXPECT_EQ(std::string(KyException("here", static_cast<KyExceptionTypes>(type), "m").what()),
                  std::string("Exception in here\tType:") + words[type] + "_EXCEPTION\tMsg:m");
    const std::string longMessage(5000, 'm');
    EXPECT_EQ(std::string(KyException("here", kApp, longMessage.c_str()).what()).size(), 4095u);
}

class FileIOTest : public ::testing::Test {
  protected:
    std::unique_ptr<FileIO> Open(const std::string& contents) {
        return std::make_unique<FileIO>(dir_.Write("data", contents), kRead);
    }

    TestEnv env_;
    TempDir dir_;
};

// Also in a forked child; the objects stay usable.
TEST_F(FileIOTest, RefusalsAndFailuresThrowTheirKind) {
    std::string path = dir_.Write("f", "first\nsecond\n"), missing = dir_.File("missing");
    ExpectThrow([&] { FileIO f(path, O_RDWR); }, kApp, "Msg:UnSupported Mode");
    ExpectThrow([&] { FileIO f(missing, kRead); }, KY_FILE_NOT_FOUND, "non-existent file");
    EXPECT_NE(::access(missing.c_str(), F_OK), 0);
    ExpectThrow([&] { FileIO f(dir_.File("no/such/dir"), kTruncate); }, kSys, "File Open failed");
    FileIO reader(path, kRead), writer(dir_.File("w"), kTruncate);
    ExpectThrow([&] { reader.WriteData("x", 1); }, kApp, "WriteData\tType:APPLICATION_EXCEPTION");
    ExpectThrow([&] { Line(writer); }, kApp, "Msg:ImProper Usage");
    EXPECT_THROW(Data(writer, 4), KyException);
    ASSERT_EQ(Line(reader), "first");  // cache filled before the fork
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const std::string refused = "\tType:APPLICATION_EXCEPTION\tMsg:Improper Usage";
        ExpectThrow([&] { Line(reader); }, kApp, "ReadLine" + refused);
        ExpectThrow([&] { Data(reader, 4); }, kApp, "ReadData" + refused);
        ExpectThrow([&] { writer.WriteData("child", 5); }, kApp, "WriteData" + refused);
        ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(Line(reader), "second");
    EXPECT_TRUE(writer.WriteData("parent", 6));
    EXPECT_EQ(ReadFile(dir_.File("w")), "parent");
    FileIO full("/dev/full", O_WRONLY | O_CREAT);
    ExpectThrow([&] { full.WriteData("x", 1); }, kSys, "Msg:Write failed");
    FileIO directory(dir_.path(), kRead);  // opens, but read() answers EISDIR
    ExpectThrow([&] { Data(directory, 1); }, kSys, "Msg:Read failed");
    ExpectThrow([&] { directory.SetCurOffset(-1); }, kSys, "Msg:lseek failed");
}

TEST_F(FileIOTest, WriteModesAndACloseThatIsOnceAndForgetsAFailedDescriptor) {
    const mode_t old = ::umask(022);
    FileIO f(dir_.File("new"), kTruncate);
    ::umask(old);
    EXPECT_TRUE(f.WriteData("abc", 3) && f.WriteData("de", 2));
    struct stat st;
    EXPECT_TRUE(::stat(dir_.File("new").c_str(), &st) == 0 && (st.st_mode & 0777) == 0644);
    EXPECT_EQ(ReadFile(dir_.File("new")), "abcde");
    const std::string path = dir_.Write("old", "0123456789");
    FileIO(path, O_WRONLY | O_CREAT).WriteData("XY", 2);
    EXPECT_EQ(ReadFile(path), "XY23456789");  // keeps the contents, writes from the start
    FileIO(path, kTruncate).WriteData("Z", 1);
    EXPECT_EQ(ReadFile(path), "Z");
    const int before = OpenDescriptorCount();
    f.Close();
    EXPECT_EQ(OpenDescriptorCount(), before - 1);
    EXPECT_NO_THROW(f.Close());  // only logs

    const int fd = ::open("/dev/null", O_RDONLY);  // the lowest free number, which
    ::close(fd);                                   // the FileIO then takes
    {
        FileIO failing(path, kRead);
        ASSERT_EQ(::close(fd), 0);  // behind its back: close() now fails with EBADF
        ExpectThrow([&] { failing.Close(); }, kSys, "Msg:close failed");
        ASSERT_EQ(::open("/dev/null", O_RDONLY), fd);  // reused: a retry must not close it
        failing.Close();
    }
    EXPECT_EQ(::close(fd), 0);  // neither Close nor the destructor took it
}

// Newlines at a fill's last and next fill's first byte, lines of all lengths; the limit.
TEST_F(FileIOTest, LinesOfAllLengthsAcrossCacheFillsMustFitWithTheirTerminator) {
    std::vector<std::string> lines = {std::string(kCache - 1, 'x'), std::string(kCache, 'y')};
    std::mt19937 rng(7);
    for (size_t size = 0; size < 3 * kCache; size += lines.back().size() + 1)
        lines.emplace_back(rng() % 5 == 0 ? 0 : rng() % 3000, static_cast<char>('a' + size % 26));
    std::string contents;
    for (const std::string& line : lines)
        contents += line + "\n";
    auto f = Open(contents);
    long long offset = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        ASSERT_EQ(Line(*f, i < 2 ? kCache + 1 : 4096), lines[i]) << "line " << i;
        ASSERT_EQ(f->GetCurOffset(), offset += static_cast<long long>(lines[i].size()) + 1);
    }
    EXPECT_EQ(Line(*f), "<eof>");
    EXPECT_EQ(f->GetCurOffset(), static_cast<long long>(contents.size()));
    f = Open(std::string(4095, 'a') + "\n" + std::string(4096, 'b') + "\n");
    EXPECT_EQ(Line(*f), std::string(4095, 'a'));
    EXPECT_THROW(Line(*f), KyException);
    const std::string c(kCache - 10, 'c');
    EXPECT_EQ(Line(*Open(c + "\n" + std::string(30, 'd') + "\n"), kCache), c);
    EXPECT_THROW(Line(*Open(std::string(kCache + 5, 'e') + "\n"), kCache), KyException);
    EXPECT_EQ(Line(*Open("\n"), 1), "");
}

TEST_F(FileIOTest, EndOfFileSticksUntilValidatedAndSeeksGoAnywhere) {
    auto f = Open("a\nb");
    EXPECT_EQ(Line(*f), "a");
    EXPECT_EQ(f->GetCurOffset(), 2);
    EXPECT_EQ(Line(*f) + Line(*f), "<eof><eof>");
    f->SetCurOffset(0);  // a seek does not clear the flag
    EXPECT_EQ(Line(*f), "<eof>");
    EXPECT_TRUE(f->ValidateCache());  // this does, and refills from offset 0
    EXPECT_EQ(Line(*f), "a");
    f = Open("");
    EXPECT_EQ(Line(*f) + Data(*f, 1), "<eof><eof>");
    f = Open("abc\nsecond\n" + std::string(3 * kCache, 'm') + "\ntail\n");
    EXPECT_EQ(Line(*f), "abc");
    f->SetCurOffset(0);
    EXPECT_EQ(Line(*f), "abc");
    EXPECT_EQ(Line(*f), "second");
    f->SetCurOffset(11 + 3 * kCache + 1);  // far beyond the cache
    EXPECT_EQ(Line(*f), "tail");
    f->SetCurOffset(5);  // back into the middle of a line
    EXPECT_EQ(Data(*f, 5), "econd");
    EXPECT_EQ(f->GetCurOffset(), 10);
}

// Name lines and 65 raw bytes that may hold newlines; the second straddles the fill.
TEST_F(FileIOTest, RecordsAcrossTheBoundaryAndShortTail) {
    const std::string digest = std::string(5, '\n') + "D" + std::string(59, '\n');  // 64 + \n
    const std::string filler(kCache - 3 - 65 - 30, 'f');
    auto f = Open("n1\n" + digest + filler + "\nn2\n" + digest + "0123456789");
    EXPECT_EQ(Line(*f), "n1");
    EXPECT_EQ(Data(*f, 65), digest);
    EXPECT_EQ(Line(*f, kCache), filler);
    EXPECT_EQ(Line(*f), "n2");
    EXPECT_EQ(Data(*f, 65), digest);
    EXPECT_EQ(Data(*f, 65), "<eof>0123456789");  // 10 left: false, with them in the buffer
    EXPECT_EQ(Data(*f, 0), "<eof>");             // end-of-file flag set
}

}  // namespace
}  // namespace kzvol::testing
