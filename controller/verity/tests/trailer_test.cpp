// Finding and reading the trailer; the base rootfs checks made before any device exists.
#include "controller/verity/trailer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "controller/system/unique_fd.h"
#include "controller/verity/baserootfs.h"

namespace ql {
namespace {

namespace fs = std::filesystem;
using testing::HasSubstr;
using testing::StartsWith;

class Trailer_test : public testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("verity_trailer_test." + std::to_string(getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    // A file of `size` bytes whose byte i is (i % 251).
    fs::path image(std::size_t size) {
        const fs::path path = dir / ("image-" + std::to_string(size));
        std::ofstream out(path, std::ios::binary);
        for (std::size_t i = 0; i < size; ++i) {
            out.put(static_cast<char>(i % 251));
        }
        return path;
    }

    fs::path dir;
};

TEST_F(Trailer_test, OffsetLeavesRoomForTheTrailerOnly) {
    EXPECT_EQ(trailer_offset(0), -4096);
    EXPECT_EQ(trailer_offset(4096), 0);
    EXPECT_EQ(trailer_offset(4097), 1);
    EXPECT_EQ(trailer_offset(1ull << 33), (1ll << 33) - 4096);
}

TEST_F(Trailer_test, ReadsMetadataThenSignatureFromTheEnd) {
    const std::size_t size = 3 * 4096 + 17;
    const Unique_fd file(::open(image(size).c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(file);
    Image_trailer trailer;
    read_trailer(file.get(), trailer_offset(size), trailer);
    const std::size_t start = size - 4096;
    for (std::size_t i = 0; i < 1024; ++i) {
        ASSERT_EQ(trailer.meta[i], (start + i) % 251) << i;
    }
    for (std::size_t i = 0; i < 3072; ++i) {
        ASSERT_EQ(trailer.sig[i], (start + 1024 + i) % 251) << i;
    }
}

TEST_F(Trailer_test, BytesBeyondTheEndStayZero) {
    const Unique_fd file(::open(image(2000).c_str(), O_RDONLY | O_CLOEXEC));
    Image_trailer trailer;
    read_trailer(file.get(), 1000, trailer);
    EXPECT_EQ(trailer.meta[999], 1999 % 251);
    EXPECT_EQ(trailer.meta[1000], 0);
    EXPECT_EQ(trailer.sig[0], 0);
    EXPECT_EQ(trailer.sig[3071], 0);
}

// What a failing Base_rootfs::mount raised and wrote.
std::pair<std::string, std::string> mount_failure(const std::string& path) {
    testing::internal::CaptureStdout();
    std::string error;
    try {
        Base_rootfs base_rootfs(path);
        base_rootfs.mount(nullptr);
        error = "(mounted)";
    } catch (const std::exception& e) {
        error = e.what();
    }
    return {error, testing::internal::GetCapturedStdout()};
}

TEST_F(Trailer_test, BaseRootfsRefusesAMissingImageBeforeAnything) {
    const std::string missing = (dir / "missing.img").string();
    const auto [error, output] = mount_failure(missing);
    EXPECT_THAT(error, StartsWith("Assertion `m_fs->exists(m_image.c_str())` failed at baserootfs.cpp:"));
    EXPECT_THAT(output, HasSubstr(" MOUNTING_ADAPTIVE_CONT_base-rootfs\n"));
    EXPECT_THAT(output, HasSubstr(") base rootfs image does not exist, no such file: " + missing + "\n"));
}

TEST_F(Trailer_test, BaseRootfsRefusesAnImageOfATrailerOrLess) {
    for (const std::size_t size : {std::size_t{0}, std::size_t{100}, std::size_t{4096}}) {
        const auto [error, output] = mount_failure(image(size).string());
        EXPECT_THAT(error, StartsWith("Assertion `offset > 0` failed at baserootfs.cpp:")) << size;
        EXPECT_THAT(output, HasSubstr(") base rootfs image corruption detected\n"));
        EXPECT_THAT(output, testing::Not(HasSubstr("VERIFYSIG"))) << "no signature check";
    }
}

}  // namespace
}  // namespace ql
