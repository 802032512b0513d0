// FileIO outside the read path: modes, exception texts and types, writing, closing,
// and the fork guard in a real child process.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "checksum/FileIO.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {
namespace {

constexpr int kRead = O_RDONLY;
constexpr int kTruncate = O_WRONLY | O_CREAT | O_TRUNC;  // 577
constexpr int kCreate = O_WRONLY | O_CREAT;              // 65

// Runs `body`, which must throw a KyException, and returns it.
template <typename Body>
KyException Thrown(Body&& body) {
    try {
        body();
    } catch (const KyException& e) {
        return e;
    }
    ADD_FAILURE() << "no KyException";
    return KyException("", KY_SYSTEM_EXCEPTION, "");
}

TEST(KyExceptionTest, TextNamesPlaceTypeWordAndMessage) {
    const char* words[] = {"SYSTEM_EXCEPTION",      "APPLICATION_EXCEPTION", "SYSTEM_EXCEPTION",
                           "APPLICATION_EXCEPTION", "APPLICATION_EXCEPTION", "UNKNOWN_EXCEPTION"};
    for (int type = 0; type < 6; ++type) {
        KyException e("FileIO :: close", static_cast<KyExceptionTypes>(type), "close failed");
        EXPECT_EQ(std::string(e.what()), std::string("Exception in FileIO :: close\tType:") +
                                             words[type] + "\tMsg:close failed");
        EXPECT_EQ(e.getType(), type);
    }
    const std::string longMessage(5000, 'm');
    KyException cut("here", KY_APPLICATION_EXCEPTION, longMessage.c_str());
    EXPECT_EQ(std::string(cut.what()).size(), 4095u);
    // Caught by reference as std::exception, the usual way.
    try {
        throw KyException("w", KY_FILE_NOT_FOUND, "m");
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Exception in w\tType:APPLICATION_EXCEPTION\tMsg:m");
    }
}

TEST(FileIOModes, RefusesUnsupportedModeAndMissingFile) {
    TestEnv env;
    TempDir dir;
    std::string path = dir.Write("f", "x\n");
    KyException e = Thrown([&] { FileIO f(path, O_RDWR); });
    EXPECT_STREQ(e.what(),
                 "Exception in FileIO :: FileIO\tType:APPLICATION_EXCEPTION\tMsg:"
                 "UnSupported Mode");
    EXPECT_EQ(env.CountLogs("Unsupported Mode:2", "FileIO :: FileIO"), 1);
    EXPECT_EQ(env.CountLogs(e.what(), "FileIO :: FileIO"), 1);  // the handler's own line

    std::string missing = dir.File("missing");
    e = Thrown([&] { FileIO f(missing, kRead); });
    EXPECT_EQ(e.getType(), KY_FILE_NOT_FOUND);
    EXPECT_NE(std::string(e.what()).find("\tMsg:Read from a non-existent file"), std::string::npos);
    EXPECT_TRUE(env.HasError("[" + missing + "] doesnot exist. Read makes no sense"));
    EXPECT_FALSE(ReadFile(missing).size());  // not created

    e = Thrown([&] { FileIO f(dir.File("no/such/dir"), kTruncate); });
    EXPECT_EQ(e.getType(), KY_SYSTEM_EXCEPTION);
    EXPECT_NE(std::string(e.what()).find("\tMsg:File Open failed"), std::string::npos);
    EXPECT_TRUE(env.HasError("open failed on [" + dir.File("no/such/dir") + "]. errno:2"));
}

TEST(FileIOModes, WriteModesCreateTruncateOrOverwriteInPlace) {
    TestEnv env;
    TempDir dir;
    mode_t old = ::umask(022);
    {
        FileIO f(dir.File("new"), kTruncate);
        EXPECT_TRUE(f.WriteData("abc", 3));
        EXPECT_TRUE(f.WriteData("de", 2));
    }
    ::umask(old);
    struct stat st;
    ASSERT_EQ(::stat(dir.File("new").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(ReadFile(dir.File("new")), "abcde");

    std::string path = dir.Write("old", "0123456789");
    {
        FileIO f(path, kCreate);
        EXPECT_TRUE(f.WriteData("XY", 2));
    }
    EXPECT_EQ(ReadFile(path), "XY23456789");  // 65 keeps the contents, writes from the start
    {
        FileIO f(path, kTruncate);
        EXPECT_TRUE(f.WriteData("Z", 1));
    }
    EXPECT_EQ(ReadFile(path), "Z");
}

TEST(FileIOModes, ReadAndWriteRefuseTheWrongMode) {
    TestEnv env;
    TempDir dir;
    std::string path = dir.Write("f", "line\n");
    FileIO reader(path, kRead);
    KyException e = Thrown([&] { reader.WriteData("x", 1); });
    EXPECT_STREQ(e.what(),
                 "Exception in FileIO :: WriteData\tType:APPLICATION_EXCEPTION\tMsg:"
                 "ImProper Usage");
    EXPECT_TRUE(
        env.HasError("Improper Usage. Supported Modes -- O_WRONLY | O_CREAT | O_TRUNC , "
                     "O_WRONLY | O_CREAT"));
    EXPECT_EQ(env.CountLogs(std::string("exception: ") + e.what(), "FileIO :: WriteData"), 1);

    FileIO writer(dir.File("w"), kTruncate);
    char buf[16];
    char* p = buf;
    e = Thrown([&] { writer.ReadLine(&p, sizeof buf); });
    EXPECT_STREQ(e.what(),
                 "Exception in FileIO :: ValidateCache\tType:APPLICATION_EXCEPTION\t"
                 "Msg:ImProper Usage");
    EXPECT_TRUE(env.HasError("Improper Usage. Mode is not O_RDONLY"));
    // Logged by ValidateCache's handler and again by ReadLine's.
    EXPECT_EQ(env.CountLogs(e.what(), "FileIO :: ValidateCache"), 1);
    EXPECT_EQ(env.CountLogs(e.what(), "FileIO :: ReadLine"), 1);
    EXPECT_THROW(writer.ReadData(&p, 4), KyException);
    // The object stays usable after a caught exception.
    EXPECT_TRUE(writer.WriteData("ok", 2));
    EXPECT_TRUE(reader.ReadLine(&p, sizeof buf));
    EXPECT_STREQ(buf, "line");
}

TEST(FileIOFailures, WriteReadAndSeekFailuresAreSystemExceptions) {
    TestEnv env;
    FileIO full("/dev/full", kCreate);
    KyException e = Thrown([&] { full.WriteData("x", 1); });
    EXPECT_EQ(e.getType(), KY_SYSTEM_EXCEPTION);
    EXPECT_NE(std::string(e.what()).find("Msg:Write failed"), std::string::npos);
    EXPECT_TRUE(env.HasError("write failed on [/dev/full]. Ret Value:-1.errno:28"));

    TempDir dir;
    FileIO directory(dir.path(), kRead);  // opens, but read() answers EISDIR
    char buf[8];
    char* p = buf;
    e = Thrown([&] { directory.ReadData(&p, 1); });
    EXPECT_NE(std::string(e.what()).find("FileIO :: ValidateCache\tType:SYSTEM_EXCEPTION\tMsg:"
                                         "Read failed"),
              std::string::npos);
    EXPECT_TRUE(env.HasError("Read failed on [" + dir.path() + "]. Ret:-1 . errno21"));

    e = Thrown([&] { directory.SetCurOffset(-1); });
    EXPECT_NE(std::string(e.what()).find("SYSTEM_EXCEPTION\tMsg:lseek failed"), std::string::npos);
    EXPECT_TRUE(env.HasError("lseek64 failed on [" + dir.path() + "]. Ret:-1 . errno:22"));
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

TEST(FileIOClose, SecondCloseOnlyLogsAndNothingLeaks) {
    TestEnv env;
    TempDir dir;
    std::string path = dir.Write("f", "a\n");
    const int before = OpenDescriptorCount();
    {
        FileIO f(path, kRead);
        EXPECT_EQ(OpenDescriptorCount(), before + 1);
        f.Close();
        EXPECT_EQ(OpenDescriptorCount(), before);
        EXPECT_NO_THROW(f.Close());
        EXPECT_EQ(env.CountLogs("Fd is not valid.", "FileIO :: close"), 1);
    }
    EXPECT_EQ(env.CountLogs("Fd is not valid."), 1);  // the destructor does not close again
    { FileIO g(path, kRead); }
    EXPECT_EQ(OpenDescriptorCount(), before);
    EXPECT_EQ(env.Logs().size(), 1u);
}

TEST(FileIOClose, FailedCloseForgetsTheDescriptor) {
    TestEnv env;
    TempDir dir;
    std::string path = dir.Write("f", "a\n");
    int reused = -1;
    {
        FileIO f(path, kRead);
        int fd = DescriptorOf(path);
        ASSERT_GE(fd, 0);
        ::close(fd);  // behind its back: close() now fails with EBADF
        KyException e = Thrown([&] { f.Close(); });
        EXPECT_EQ(e.getType(), KY_SYSTEM_EXCEPTION);
        EXPECT_NE(std::string(e.what()).find("Msg:close failed"), std::string::npos);
        EXPECT_TRUE(env.HasError("close failed on [" + path + "]. Ret Value:-1.errno:9"));
        // A descriptor number reused since must not be closed by a retry.
        reused = ::open("/dev/null", O_RDONLY);
        EXPECT_EQ(reused, fd);
        f.Close();
        EXPECT_EQ(env.CountLogs("Fd is not valid."), 1);
    }
    EXPECT_NE(::fcntl(reused, F_GETFD), -1);  // neither Close nor the destructor took it
    ::close(reused);
    EXPECT_EQ(env.CountLogs("close failed on ["), 1);
}

// In a child that inherited the object, each guarded call must throw "Improper
// Usage" from its own context. The child reports through its exit status.
int ChildUse(FileIO& reader, FileIO& writer) {
    char buf[64];
    char* p = buf;
    int failures = 0;
    auto expect = [&](const char* where, auto&& call) {
        try {
            call();
            ++failures;
        } catch (const KyException& e) {
            std::string want = std::string("Exception in ") + where +
                               "\tType:APPLICATION_EXCEPTION\tMsg:Improper Usage";
            if (want != e.what())
                ++failures;
        }
    };
    expect("FileIO :: ReadLine", [&] { reader.ReadLine(&p, sizeof buf); });
    expect("FileIO :: ReadData", [&] { reader.ReadData(&p, 4); });
    expect("FileIO :: WriteData", [&] { writer.WriteData("child", 5); });
    return failures;
}

TEST(FileIOForkGuard, ChildProcessIsRefused) {
    TestEnv env;
    TempDir dir;
    std::string path = dir.Write("f", "first\nsecond\n");
    FileIO reader(path, kRead);
    FileIO writer(dir.File("out"), kTruncate);
    char buf[64];
    char* p = buf;
    ASSERT_TRUE(reader.ReadLine(&p, sizeof buf));  // cache filled before the fork

    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        ::_exit(ChildUse(reader, writer));
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    // The parent goes on where it was; the child wrote nothing.
    ASSERT_TRUE(reader.ReadLine(&p, sizeof buf));
    EXPECT_STREQ(buf, "second");
    EXPECT_TRUE(writer.WriteData("parent", 6));
    EXPECT_EQ(ReadFile(dir.File("out")), "parent");
}

}  // namespace
}  // namespace kzvol::testing
