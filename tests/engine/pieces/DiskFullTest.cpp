// Running out of disk space, on a real small file system: a tmpfs that the
// test mounts in a private mount namespace (the suite runs as root).

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>

#include "engine/pieces/QDiskFile.h"
#include "engine/pieces/TPieceScheduler.h"
#include "engine/pieces/TPieces.h"
#include "platform/File.h"
#include "tests/engine/pieces/PiecesTestSupport.h"
#include "tests/support/Sandbox.h"

namespace {

using engine::TPieces;
constexpr engine::BlockOutcome Verified = engine::BlockOutcome::PieceVerified;
using pieces_test::MakeData;
using pieces_test::MakeLayout;
using testing_support::Sandbox;

constexpr int64_t L = 65536;
constexpr int64_t SmallDisk = 2 * 1024 * 1024;
const std::vector<int64_t> Sizes{256 * 1024, 1536 * 1024};

// A tmpfs of `bytes` mounted on `folder` for the test's lifetime. The mount
// namespace is made private once per process, so nothing outside sees it.
class SmallFileSystem {
public:
    SmallFileSystem(const std::string& folder, int64_t bytes) : m_folder(folder) {
        static const int unshared = [] {
            if (::unshare(CLONE_NEWNS) != 0) return errno;
            if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return errno;
            return 0;
        }();
        if (unshared != 0) {
            m_error = "unshare: " + std::string(std::strerror(unshared));
            return;
        }
        platform::CreateDirectories(folder);
        const std::string options = "size=" + std::to_string(bytes);
        if (::mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) != 0) {
            m_error = "mount: " + std::string(std::strerror(errno));
            return;
        }
        m_mounted = true;
    }
    ~SmallFileSystem() {
        if (m_mounted) ::umount2(m_folder.c_str(), MNT_DETACH);
    }
    bool Mounted() const { return m_mounted; }
    const std::string& Error() const { return m_error; }

private:
    std::string m_folder;
    std::string m_error;
    bool m_mounted = false;
};

// Takes `bytes` of real space on the file system of `path`.
void Fill(const std::string& path, int64_t bytes) {
    platform::File filler;
    ASSERT_TRUE(filler.Open(path, platform::OpenMode::CreateAlways));
    ASSERT_TRUE(filler.Allocate(0, static_cast<uint64_t>(bytes)));
}

struct StoppingTask : engine::TPieceTask {
    void SetErrorCode(int32_t c) override { code = c; }
    void RequestStop() override { stop = true; }
    bool IsStopping() const override { return stop; }
    bool IsMetadataReady() const override { return true; }
    int32_t PeerObjectCount() const override { return 0; }
    void PublishStatus(bool) override {}
    int64_t NowSeconds() const override { return 0; }
    uint32_t TickCount() const override { return 0; }
    void PauseForDiskSpace(uint32_t) override { ++pauses; }
    int32_t code = 0;
    bool stop = false;
    int pauses = 0;
};

class DiskFull : public ::testing::Test {
protected:
    void SetUp() override {
        engine::QDiskFile::SetAllocationMode(engine::DiskAllocationMode::Preallocate);
        ASSERT_TRUE(disk.Mounted()) << disk.Error();
        data = MakeData(static_cast<size_t>(pieces_test::Sum(Sizes)), 21);
        layout = MakeLayout(folder, Sizes, L, data);
    }
    void TearDown() override { engine::QDiskFile::SetAllocationMode(engine::DiskAllocationMode::Sparse); }

    engine::TBlockResult WritePiece(TPieces& pieces, int64_t p) {
        const int32_t size = pieces.Piece(p)->Size();
        return pieces.WritePieceRange(p, reinterpret_cast<const uint8_t*>(data.data()) + p * L, size, 0, false);
    }

    Sandbox box;
    std::string folder = box.File("disk");
    SmallFileSystem disk{folder, SmallDisk};
    std::string data;
    engine::TPiecesLayout layout;
};

TEST_F(DiskFull, TaskStopsWith20210AndResumesAfterSpaceIsFreed) {
    StoppingTask task;
    engine::TPieceScheduler scheduler(&task);
    TPieces pieces(&scheduler);
    scheduler.SetPieces(&pieces);
    ASSERT_TRUE(pieces.BuildFromLayout(layout, nullptr));
    for (int64_t p = 0; p < 4; ++p) ASSERT_EQ(WritePiece(pieces, p).outcome, Verified);  // the whole first file

    const std::string filler = folder + "/filler";
    Fill(filler, 1024 * 1024);
    const engine::TBlockResult full = WritePiece(pieces, 4);
    EXPECT_EQ(full.outcome, engine::BlockOutcome::DiskError);
    EXPECT_EQ(full.file, pieces.File(1)->m_path) << "the file that could not grow";
    EXPECT_EQ(task.code, engine::StateDiskFull);
    EXPECT_TRUE(task.stop);
    EXPECT_TRUE(scheduler.HasDiskError());
    EXPECT_EQ(task.pauses, 1) << "the stop ends the wait after one pause";
    EXPECT_FALSE(pieces.IsPieceDone(4));
    EXPECT_EQ(platform::FileSize(pieces.File(1)->m_path), 0) << "nothing written past the file's size";
    EXPECT_EQ(Sandbox::Read(pieces.File(0)->m_path), data.substr(0, static_cast<size_t>(Sizes[0])));

    // The user frees space and continues the task.
    platform::RemoveFile(filler);
    task.stop = false;
    task.code = 0;
    for (int64_t p = 4; p < pieces.PieceCount(); ++p) ASSERT_EQ(WritePiece(pieces, p).outcome, Verified) << p;
    EXPECT_TRUE(pieces.IsAllDone());
    pieces.CloseFiles(true, true);
    EXPECT_EQ(Sandbox::Read(layout.files[0].path), data.substr(0, static_cast<size_t>(Sizes[0])));
    EXPECT_EQ(Sandbox::Read(layout.files[1].path), data.substr(static_cast<size_t>(Sizes[0])));
}

TEST_F(DiskFull, SpaceFreedDuringTheWaitReports1003AndTheWriteGoesOn) {
    pieces_test::RecordingOwner owner;
    TPieces pieces(&owner);
    ASSERT_TRUE(pieces.BuildFromLayout(layout, nullptr));
    ASSERT_EQ(WritePiece(pieces, 0).outcome, Verified);
    const std::string filler = folder + "/filler";
    Fill(filler, 1024 * 1024);
    owner.on_pause = [&] { platform::RemoveFile(filler); };

    EXPECT_EQ(WritePiece(pieces, 5).outcome, Verified);
    EXPECT_EQ(owner.Count(engine::PiecesEventCode::DiskFull), 1);
    EXPECT_EQ(owner.Count(engine::PiecesEventCode::DiskSpaceBack), 1);
    EXPECT_EQ(owner.pauses, 1);
    EXPECT_TRUE(pieces.IsPieceDone(5));
    // Preallocated once, to the file's full size.
    EXPECT_EQ(platform::FileSize(pieces.File(1)->m_path), Sizes[1]);
    EXPECT_GE(platform::AllocatedSize(pieces.File(1)->m_path), Sizes[1]);
}

TEST_F(DiskFull, TooLittleSpaceForAFileStopsTheBuild) {
    Fill(folder + "/filler", 1024 * 1024);
    StoppingTask task;
    engine::TPieceScheduler scheduler(&task);
    TPieces pieces(&scheduler);
    scheduler.SetPieces(&pieces);
    EXPECT_FALSE(pieces.BuildFromLayout(layout, nullptr));
    EXPECT_EQ(task.code, engine::StateDiskFull);
}

}  // namespace
