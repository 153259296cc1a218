// Windows-only: replacing or moving a file that another process holds open waits a bounded time
// for it to let go, and reports failure (leaving everything as it was) when it never does.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/platform.h"
#include "store/files.h"

namespace fs = std::filesystem;

static std::string slurp(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

// Another reader: holds path open with the given sharing until its delay has passed.
struct Holder {
    HANDLE file;
    DWORD hold_ms;
};

static DWORD WINAPI holder_release(void *arg)
{
    Holder *h = static_cast<Holder *>(arg);
    Sleep(h->hold_ms);
    CloseHandle(h->file);
    return 0;
}

class HeldFile : public ::testing::Test {
protected:
    std::string dir;
    void SetUp() override
    {
        char tmpl[] = "/tmp/notes-win-XXXXXX";
        dir = mkdtemp(tmpl);
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    void put(const std::string &path, const std::string &text)
    {
        std::ofstream(path, std::ios::binary) << text;
    }
};

struct ShareCase {
    const char *reader;
    DWORD share;
};

static const ShareCase k_readers[] = {
    {"sharing delete (as this program reads)", FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE},
    {"sharing read and write", FILE_SHARE_READ | FILE_SHARE_WRITE},
    {"sharing read only", FILE_SHARE_READ},
};

TEST_F(HeldFile, ReplaceAndTrashMoveSucceedOnceTheReaderLetsGo)
{
    for (const ShareCase &c : k_readers) {
        for (int trash = 0; trash < 2; trash++) {
            SCOPED_TRACE(std::string(c.reader) + (trash ? ", move into the trash" : ", replace"));
            std::string dst = dir + "/note.md", src = dir + "/new.md";
            put(dst, "old");
            if (trash)
                put(src, "new");
            Holder h = {CreateFileA(dst.c_str(), GENERIC_READ, c.share, nullptr, OPEN_EXISTING, 0, nullptr), 300};
            ASSERT_NE(h.file, INVALID_HANDLE_VALUE);
            HANDLE t = CreateThread(nullptr, 0, holder_release, &h, 0, nullptr);
            int ok = trash ? plat_move(src.c_str(), dst.c_str()) : atomic_write(dst.c_str(), "new", 3);
            WaitForSingleObject(t, INFINITE);
            CloseHandle(t);
            EXPECT_EQ(ok, 1);
            EXPECT_EQ(slurp(dst), "new");
            EXPECT_FALSE(fs::exists(dst + ".tmp"));
            EXPECT_FALSE(fs::exists(src));
        }
    }
}

TEST_F(HeldFile, ReplaceGivesUpOnAReaderThatNeverLetsGoAndKeepsTheOldFile)
{
    std::string dst = dir + "/index.json";
    put(dst, "old");
    // Without delete sharing no Windows version lets the name be replaced while it is open.
    HANDLE reader = CreateFileA(dst.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    auto start = std::chrono::steady_clock::now();
    int ok = atomic_write(dst.c_str(), "new", 3);
    auto waited = std::chrono::steady_clock::now() - start;
    CloseHandle(reader);
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(slurp(dst), "old");
    EXPECT_FALSE(fs::exists(dst + ".tmp"));
    EXPECT_GE(waited, std::chrono::milliseconds(900)) << "gave up before the reader had a chance to finish";
}
