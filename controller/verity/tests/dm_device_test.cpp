// The loop binding and device-mapper requests, against a recording kernel.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <linux/dm-ioctl.h>
#include <linux/loop.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "controller/verity/dm_request.h"
#include "controller/verity/dm_device.h"
#include "controller/verity/loop_device.h"
#include "controller/verity/verity.h"

namespace ql {
namespace {

using testing::ElementsAre;
using testing::HasSubstr;
using testing::StartsWith;

// One call the code under test made.
struct Call {
    explicit Call(std::string op_, std::string path_ = {}) : op(std::move(op_)), path(std::move(path_)) {}
    std::string op;    // "open", "close", "ioctl", "mknod", "unlink"
    std::string path;  // open, mknod, unlink
    int fd = -1;       // close, ioctl; the result of open
    int flags = 0;     // open
    unsigned long request = 0;
    unsigned long value = 0;           // numeric ioctl argument; mknod device
    std::vector<unsigned char> bytes;  // copy of the request structure as passed in
    mode_t mode = 0;
};

std::string request_name(unsigned long request) {
    static const std::map<unsigned long, std::string> names = {
        {DM_DEV_CREATE, "DM_DEV_CREATE"},         {DM_DEV_REMOVE, "DM_DEV_REMOVE"},
        {DM_TABLE_LOAD, "DM_TABLE_LOAD"},         {DM_DEV_SUSPEND, "DM_DEV_SUSPEND"},
        {LOOP_CTL_GET_FREE, "LOOP_CTL_GET_FREE"}, {LOOP_SET_FD, "LOOP_SET_FD"},
        {LOOP_SET_STATUS64, "LOOP_SET_STATUS64"}, {LOOP_CLR_FD, "LOOP_CLR_FD"},
        {LOOP_CONFIGURE, "LOOP_CONFIGURE"},
    };
    const auto found = names.find(request);
    return found == names.end() ? "?" : found->second;
}

// Records every call; answers as a kernel with free loop devices 7, 8, ...
// and a device-mapper that hands out device 254:3. `fail` makes one request
// fail with an errno, once or always.
class Recording_kernel : public Kernel {
public:
    int open(const char* path, int flags) override {
        Call call("open", path);
        call.flags = flags;
        if (fail_open.count(path) != 0) {
            errno = fail_open[path];
            calls.push_back(call);
            return -1;
        }
        call.fd = next_fd++;
        open_fds.insert(call.fd);
        calls.push_back(call);
        return call.fd;
    }
    int close(int fd) override {
        Call call("close");
        call.fd = fd;
        calls.push_back(call);
        EXPECT_EQ(open_fds.erase(fd), 1u) << "closing " << fd;
        return 0;
    }
    int ioctl(int fd, unsigned long request, void* argument) override {
        Call call("ioctl");
        call.fd = fd;
        call.request = request;
        std::size_t size = sizeof(struct dm_ioctl);
        if (request == DM_TABLE_LOAD) {
            size = static_cast<const struct dm_ioctl*>(argument)->data_size;
        } else if (request == LOOP_SET_STATUS64) {
            size = sizeof(struct loop_info64);
        } else if (request == LOOP_CONFIGURE) {
            size = sizeof(struct loop_config);
        }
        const auto* bytes = static_cast<const unsigned char*>(argument);
        call.bytes.assign(bytes, bytes + size);
        calls.push_back(call);
        if (failing(request)) {
            return -1;
        }
        if (request == DM_DEV_SUSPEND) {
            static_cast<struct dm_ioctl*>(argument)->dev = resume_dev;
        }
        return 0;
    }
    int ioctl(int fd, unsigned long request, unsigned long argument) override {
        Call call("ioctl");
        call.fd = fd;
        call.request = request;
        call.value = argument;
        calls.push_back(call);
        if (failing(request)) {
            return -1;
        }
        return request == LOOP_CTL_GET_FREE ? next_loop++ : 0;
    }
    int mknod(const char* path, mode_t mode, dev_t device) override {
        Call call("mknod", path);
        call.mode = mode;
        call.value = device;
        calls.push_back(call);
        if (mknod_errno != 0) {
            errno = mknod_errno;
            return -1;
        }
        return 0;
    }
    int unlink(const char* path) override {
        calls.push_back(Call("unlink", path));
        return 0;
    }

    // "DM_DEV_CREATE", ... in call order; opens and the rest by their op name.
    std::vector<std::string> trace() const {
        std::vector<std::string> out;
        for (const Call& call : calls) {
            if (call.op == "ioctl") {
                out.push_back(request_name(call.request));
            } else if (call.op == "open" || call.op == "mknod" || call.op == "unlink") {
                out.push_back(call.op + " " + call.path);
            }
        }
        return out;
    }
    const Call& first(unsigned long request) const {
        for (const Call& call : calls) {
            if (call.op == "ioctl" && call.request == request) {
                return call;
            }
        }
        throw std::logic_error("request not made: " + request_name(request));
    }

    struct Failure {
        int error;
        int times;  // -1: always
    };
    std::map<unsigned long, Failure> fail;
    std::map<std::string, int> fail_open;
    int mknod_errno = 0;
    std::uint64_t resume_dev = (254u << 8) | 3u;
    std::vector<Call> calls;
    std::set<int> open_fds;

private:
    bool failing(unsigned long request) {
        auto found = fail.find(request);
        if (found == fail.end() || found->second.times == 0) {
            return false;
        }
        if (found->second.times > 0) {
            --found->second.times;
        }
        errno = found->second.error;
        return true;
    }

    int next_fd = 100;
    int next_loop = 7;
};

const std::string salt = "8f3a5c1e22d4b6a09f7e3c5d1b2a4968e0f1d2c3b4a59687a8b9c0d1e2f30415";
const std::string roothash = "0c1d2e3f405162738495a6b7c8d9eaf00112233445566778899aabbccddeeff0";

std::string metadata(const std::string& datablocks = "1000", const std::string& salt_value = salt) {
    std::string text = "hashtype=1\ndatablocks=" + datablocks +
                       "\ndatablocksize=4096\nhashblocksize=4096\nhashalgorithm=sha256\nsalt=" + salt_value +
                       "\nroothash=" + roothash + "\n";
    text.resize(std::max<std::size_t>(text.size(), 1024), '\0');
    return text;
}

class Dm_setup_test : public testing::Test {
protected:
    // The node path, or the error text; the standard output goes to `output`.
    std::string setup(const std::string& meta) {
        testing::internal::CaptureStdout();
        std::string result;
        try {
            result = setup_dm_verity_device(
                "base-rootfs", image_fd, reinterpret_cast<const unsigned char*>(meta.data()),
                static_cast<std::int32_t>(meta.size()), kernel);
        } catch (const std::exception& e) {
            result = std::string("error: ") + e.what();
        }
        output = testing::internal::GetCapturedStdout();
        return result;
    }

    void expect_rolled_back() {
        const std::vector<std::string> trace = kernel.trace();
        ASSERT_GE(trace.size(), 2u);
        EXPECT_EQ(trace[trace.size() - 2], "DM_DEV_REMOVE");
        EXPECT_EQ(trace.back(), "unlink /dev/mapper/base-rootfs");
        EXPECT_TRUE(kernel.open_fds.empty());
    }

    // The descriptor of the image whose trailer was read; it is the caller's.
    static constexpr int image_fd = 42;
    Recording_kernel kernel;
    std::string output;
};

void put32(std::vector<unsigned char>& buffer, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) buffer[at + i] = static_cast<unsigned char>(value >> (8 * i));
}
void put64(std::vector<unsigned char>& buffer, std::size_t at, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) buffer[at + i] = static_cast<unsigned char>(value >> (8 * i));
}
void put_text(std::vector<unsigned char>& buffer, std::size_t at, const std::string& text) {
    std::copy(text.begin(), text.end(), buffer.begin() + static_cast<std::ptrdiff_t>(at));
}

// The 312-byte header as the kernel's interface lays it out (little endian).
std::vector<unsigned char> expected_header(std::uint32_t data_size, std::uint32_t target_count,
                                           std::uint32_t flags) {
    std::vector<unsigned char> header(312, 0);
    put32(header, 0, 4);
    put32(header, 4, 37);
    put32(header, 8, 0);
    put32(header, 12, data_size);
    put32(header, 16, 312);
    put32(header, 20, target_count);
    put32(header, 28, flags);
    put_text(header, 48, "base-rootfs");
    return header;
}

TEST_F(Dm_setup_test, BuildsTheDeviceWithTheExactRequests) {
    EXPECT_EQ(setup(metadata()), "/dev/mapper/base-rootfs");

    EXPECT_THAT(
        kernel.trace(),
        ElementsAre("open /dev/mapper/control", "DM_DEV_CREATE", "open /dev/loop-control", "LOOP_CTL_GET_FREE",
                    "open /dev/loop7", "LOOP_CONFIGURE", "DM_TABLE_LOAD", "DM_DEV_SUSPEND",
                    "mknod /dev/mapper/base-rootfs"));
    EXPECT_TRUE(kernel.open_fds.empty()) << "every descriptor is closed";

    const std::vector<Call>& calls = kernel.calls;
    EXPECT_EQ(calls[0].flags, O_RDWR | O_CLOEXEC);    // control
    EXPECT_EQ(calls[2].flags, O_RDWR | O_CLOEXEC);    // loop control
    EXPECT_EQ(calls[4].flags, O_RDONLY | O_CLOEXEC);  // loop device
    const int control_fd = calls[0].fd;
    EXPECT_EQ(kernel.first(DM_DEV_CREATE).fd, control_fd);
    EXPECT_EQ(kernel.first(DM_DEV_CREATE).bytes, expected_header(312, 0, 0));
    EXPECT_EQ(kernel.first(DM_DEV_SUSPEND).bytes, expected_header(312, 0, 0));
    EXPECT_EQ(kernel.first(LOOP_CTL_GET_FREE).fd, calls[2].fd);
    EXPECT_EQ(kernel.first(LOOP_CONFIGURE).fd, calls[4].fd);

    // The caller's image descriptor, autoclear and nothing else.
    struct loop_config config;
    std::memset(&config, 0, sizeof(config));
    config.fd = image_fd;
    config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
    std::vector<unsigned char> configure(sizeof(config));
    std::memcpy(configure.data(), &config, sizeof(config));
    EXPECT_EQ(kernel.first(LOOP_CONFIGURE).bytes, configure);

    // 1000 blocks of 4096 bytes: 8000 sectors; hashes from block 1001 on.
    const std::string table =
        "1 /dev/loop7 /dev/loop7 4096 4096 1000 1001 sha256 " + roothash + " " + salt + " ";
    std::vector<unsigned char> load = expected_header(1376, 1, DM_READONLY_FLAG);
    load.resize(1376, 0);
    put64(load, 312, 0);     // sector_start
    put64(load, 320, 8000);  // length
    put32(load, 328, 0);     // status
    put32(load, 332, 0);     // next
    put_text(load, 336, "verity");
    put_text(load, 352, table);
    EXPECT_EQ(kernel.first(DM_TABLE_LOAD).bytes, load);

    const auto node_call =
        std::find_if(calls.begin(), calls.end(), [](const Call& call) { return call.op == "mknod"; });
    ASSERT_NE(node_call, calls.end());
    const Call& node = *node_call;
    EXPECT_EQ(node.mode, S_IFBLK);
    EXPECT_EQ(node.value, kernel.resume_dev);
}

TEST_F(Dm_setup_test, TableOf1023BytesIsLoadedAnd1025BytesAreRejected) {
    // The salt is the one free-length field (hex of an even length). The
    // table must fit with the longest loop device name before any device
    // exists, so the limit is reached with that name.
    const std::size_t base = std::string("1 /dev/loop1048575 /dev/loop1048575 4096 4096 1000 1001 sha256 ").size() +
                             roothash.size() + 1 + 1;
    const std::string fits(1023 - base, 'a');
    EXPECT_EQ(setup(metadata("1000", fits)), "/dev/mapper/base-rootfs");
    const Call& load = kernel.first(DM_TABLE_LOAD);
    // Loaded with the real, shorter name.
    EXPECT_EQ(load.bytes[352 + 1023 - 12], 0);

    kernel = Recording_kernel();
    const std::string result = setup(metadata("1000", fits + "aa"));
    EXPECT_THAT(result,
                StartsWith("error: Assertion `table.length() < sizeof(data.table)` failed at verity.cpp:"));
    EXPECT_THAT(output, HasSubstr(") bad verity params\n"));
    EXPECT_THAT(kernel.trace(), testing::Not(testing::Contains("DM_DEV_CREATE")));
    EXPECT_THAT(kernel.trace(), testing::Not(testing::Contains("LOOP_CTL_GET_FREE")));
}

TEST_F(Dm_setup_test, MalformedValuesAreRefusedBeforeAnyDevice) {
    const std::string good = metadata();
    const std::pair<std::string, std::string> bad[] = {
        {"hashtype=1", "hashtype=2"},
        {"datablocks=1000", "datablocks=many"},
        {"datablocks=1000", "datablocks=0"},
        {"datablocks=1000", "datablocks=99999999999999999999"},
        {"datablocks=1000", "datablocks=4503599627370496"},  // times 4096 leaves 64 bits
        {"datablocksize=4096", "datablocksize=4000"},
        {"hashblocksize=4096", "hashblocksize=256"},
        {"hashalgorithm=sha256", "hashalgorithm=sha256 extra"},
        {"hashalgorithm=sha256", "hashalgorithm=md4"},
        {"roothash=" + roothash, "roothash=" + roothash.substr(2)},
        {"roothash=" + roothash, "roothash=" + roothash.substr(1) + "g"},
        {"salt=" + salt, "salt=" + salt.substr(1)},
        {"salt=" + salt, "salt=" + salt + " 1 ignore_corruption"},
    };
    for (const auto& [from, to] : bad) {
        SCOPED_TRACE(to);
        std::string meta = good;
        meta.replace(meta.find(from), from.size(), to);
        meta.resize(1024, '\0');
        kernel = Recording_kernel();
        EXPECT_THAT(setup(meta), StartsWith("error: Assertion `malformed.empty()` failed at verity.cpp:"));
        const std::string key = to.substr(0, to.find('='));
        EXPECT_THAT(output, HasSubstr(") meta data value of " + key + " is malformed\n"));
        EXPECT_TRUE(kernel.calls.empty());
    }
    // "-" stands for no salt; sha1 digests are 20 bytes.
    std::string meta = good;
    meta.replace(meta.find("salt=" + salt), 5 + salt.size(), "salt=-");
    meta.replace(meta.find("sha256"), 6, "sha1");
    meta.replace(meta.find("roothash=" + roothash), 9 + roothash.size(), "roothash=" + roothash.substr(0, 40));
    meta.resize(1024, '\0');
    EXPECT_EQ(setup(meta), "/dev/mapper/base-rootfs");
}

TEST_F(Dm_setup_test, ALoopDeviceTakenMeanwhileMakesItAskForAnother) {
    kernel.fail[LOOP_CONFIGURE] = {EBUSY, 2};
    EXPECT_EQ(setup(metadata()), "/dev/mapper/base-rootfs");
    EXPECT_THAT(kernel.trace(),
                ElementsAre("open /dev/mapper/control", "DM_DEV_CREATE", "open /dev/loop-control",
                            "LOOP_CTL_GET_FREE", "open /dev/loop7", "LOOP_CONFIGURE", "LOOP_CTL_GET_FREE",
                            "open /dev/loop8", "LOOP_CONFIGURE", "LOOP_CTL_GET_FREE", "open /dev/loop9",
                            "LOOP_CONFIGURE", "DM_TABLE_LOAD", "DM_DEV_SUSPEND", "mknod /dev/mapper/base-rootfs"));
    EXPECT_TRUE(kernel.open_fds.empty());
    const std::vector<unsigned char>& load = kernel.first(DM_TABLE_LOAD).bytes;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&load[352]), 24), "1 /dev/loop9 /dev/loop9 ");
}

TEST_F(Dm_setup_test, EndlessBusyLoopDevicesGiveUp) {
    kernel.fail[LOOP_CONFIGURE] = {EBUSY, -1};
    EXPECT_THAT(setup(metadata()), StartsWith("error: Assertion `ioctl_ret == 0` failed at verity.cpp:"));
    EXPECT_THAT(output, HasSubstr(") no free loop device after 16 attempts\n"));
    const std::vector<std::string> trace = kernel.trace();
    EXPECT_EQ(std::count(trace.begin(), trace.end(), "LOOP_CONFIGURE"), 16);
    expect_rolled_back();
}

TEST_F(Dm_setup_test, KernelWithoutConfigureGetsTheTwoRequestForm) {
    kernel.fail[LOOP_CONFIGURE] = {EINVAL, -1};
    kernel.fail[LOOP_SET_FD] = {EBUSY, 1};
    EXPECT_EQ(setup(metadata()), "/dev/mapper/base-rootfs");
    EXPECT_THAT(kernel.trace(),
                ElementsAre("open /dev/mapper/control", "DM_DEV_CREATE", "open /dev/loop-control",
                            "LOOP_CTL_GET_FREE", "open /dev/loop7", "LOOP_CONFIGURE", "LOOP_SET_FD",
                            "LOOP_CTL_GET_FREE", "open /dev/loop8", "LOOP_SET_FD", "LOOP_SET_STATUS64",
                            "DM_TABLE_LOAD", "DM_DEV_SUSPEND", "mknod /dev/mapper/base-rootfs"));
    EXPECT_EQ(kernel.first(LOOP_SET_FD).value, static_cast<unsigned long>(image_fd));
    std::vector<unsigned char> status(sizeof(struct loop_info64), 0);
    struct loop_info64 autoclear;
    std::memset(&autoclear, 0, sizeof(autoclear));
    autoclear.lo_flags = LO_FLAGS_AUTOCLEAR;
    std::memcpy(status.data(), &autoclear, sizeof(autoclear));
    EXPECT_EQ(kernel.first(LOOP_SET_STATUS64).bytes, status);
    EXPECT_TRUE(kernel.open_fds.empty());
}

TEST_F(Dm_setup_test, FailedStatusReleasesTheLoopBinding) {
    kernel.fail[LOOP_CONFIGURE] = {ENOTTY, -1};
    kernel.fail[LOOP_SET_STATUS64] = {EINVAL, -1};
    const std::string result = setup(metadata());
    EXPECT_THAT(result, StartsWith("error: Assertion `ioctl_ret == 0` failed at verity.cpp:"));
    EXPECT_THAT(output, HasSubstr(") set loop device flags failed: 22\n"));
    const std::vector<std::string> trace = kernel.trace();
    const auto status = std::find(trace.begin(), trace.end(), "LOOP_SET_STATUS64");
    ASSERT_NE(status, trace.end());
    EXPECT_EQ(*(status + 1), "LOOP_CLR_FD");
    expect_rolled_back();
}

TEST_F(Dm_setup_test, EveryFailingStepLogsItsErrnoAndRollsBack) {
    struct Case {
        unsigned long request;
        const char* message;
    };
    const Case cases[] = {
        {LOOP_CTL_GET_FREE, ") get free loop device failed: 5\n"},
        {LOOP_CONFIGURE, ") attach loop device failed: 5\n"},
        {DM_TABLE_LOAD, ") load dm-device table failed: 5\n"},
        {DM_DEV_SUSPEND, ") resume dm-device failed: 5\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(request_name(c.request));
        kernel = Recording_kernel();
        kernel.fail[c.request] = {EIO, -1};
        const std::string result = setup(metadata());
        EXPECT_THAT(result, StartsWith(c.request == LOOP_CTL_GET_FREE
                                           ? "error: Assertion `devnr >= 0` failed at verity.cpp:"
                                           : "error: Assertion `ioctl_ret == 0` failed at verity.cpp:"));
        EXPECT_THAT(output, HasSubstr(c.message));
        expect_rolled_back();
    }

    kernel = Recording_kernel();
    kernel.mknod_errno = EEXIST;
    EXPECT_THAT(setup(metadata()), StartsWith("error: Assertion `mknod_ret == 0` failed at verity.cpp:"));
    EXPECT_THAT(output, HasSubstr(") create dm-device node failed: 17\n"));
    expect_rolled_back();

    const std::pair<const char*, const char*> opens[] = {
        {"/dev/loop-control", "`loop.ctl_fd >= 0`"},
        {"/dev/loop7", "`loop.dev_fd >= 0`"},
    };
    for (const auto& [path, expression] : opens) {
        SCOPED_TRACE(path);
        kernel = Recording_kernel();
        kernel.fail_open[path] = ENOENT;
        EXPECT_THAT(setup(metadata()), HasSubstr(expression));
        expect_rolled_back();
    }
}

TEST_F(Dm_setup_test, AnExistingNameIsLeftAlone) {
    kernel.fail[DM_DEV_CREATE] = {EBUSY, -1};
    EXPECT_THAT(setup(metadata()), StartsWith("error: Assertion `ioctl_ret == 0` failed at verity.cpp:"));
    EXPECT_THAT(output, HasSubstr(") create dm-device failed: 16\n"));
    EXPECT_THAT(kernel.trace(), ElementsAre("open /dev/mapper/control", "DM_DEV_CREATE"));
    EXPECT_TRUE(kernel.open_fds.empty());
}

TEST_F(Dm_setup_test, NoControlDeviceFailsBeforeAnything) {
    kernel.fail_open["/dev/mapper/control"] = ENOENT;
    EXPECT_THAT(setup(metadata()), StartsWith("error: Assertion `m_ctl_fd >= 0` failed at verity.cpp:"));
    EXPECT_THAT(output, HasSubstr(") open device mapper control failed: 2\n"));
    EXPECT_THAT(kernel.trace(), ElementsAre("open /dev/mapper/control"));
}

TEST_F(Dm_setup_test, BadMetadataFailsBeforeTheControlDeviceIsOpened) {
    EXPECT_THAT(setup(std::string("hashtype=1\n").append(1013, '\0')),
                HasSubstr("`!verity_meta.roothash.empty()`"));
    EXPECT_TRUE(kernel.calls.empty());
}

TEST_F(Dm_setup_test, DestroyCountsAMissingDeviceAsRemovedAndKeepsTheNodeOfABusyOne) {
    {
        Dm_device device("gone", kernel);
        kernel.fail[DM_DEV_REMOVE] = {ENXIO, -1};
        EXPECT_TRUE(device.destroy());
        kernel.fail[DM_DEV_REMOVE] = {EBUSY, -1};
        testing::internal::CaptureStdout();
        EXPECT_FALSE(device.destroy());
        EXPECT_THAT(testing::internal::GetCapturedStdout(), HasSubstr(") destroy dm-device failed: 16\n"));
        // A brief EBUSY (a prober holding the new device) is waited out.
        kernel.fail[DM_DEV_REMOVE] = {EBUSY, 3};
        EXPECT_TRUE(device.destroy());
    }
    const std::vector<std::string> trace = kernel.trace();
    // The control device, one ENXIO, twenty EBUSY, three EBUSY and a success.
    EXPECT_EQ(std::count(trace.begin(), trace.end(), "DM_DEV_REMOVE"), 1 + 20 + 4);
    EXPECT_EQ(std::count(trace.begin(), trace.end(), "unlink /dev/mapper/gone"), 2);
    EXPECT_EQ(trace.back(), "unlink /dev/mapper/gone");
    std::vector<unsigned char> header(312, 0);
    put32(header, 0, 4);
    put32(header, 4, 37);
    put32(header, 12, 312);
    put32(header, 16, 312);
    put_text(header, 48, "gone");
    EXPECT_EQ(kernel.first(DM_DEV_REMOVE).bytes, header);
    EXPECT_TRUE(kernel.open_fds.empty());
}

TEST(Verity_geometry, SectorsAndHashStart) {
    Verity_meta meta;
    meta.datablocks = "1000";
    meta.datablocksize = "4096";
    meta.hashblocksize = "4096";
    Verity_geometry geometry = verity_geometry(meta);
    EXPECT_EQ(geometry.data_sectors, 8000u);
    EXPECT_EQ(geometry.hash_start_block, 1001u);

    // The 512-byte hash header fits behind data that ends mid-block.
    meta.datablocks = "3";
    meta.datablocksize = "1024";
    geometry = verity_geometry(meta);
    EXPECT_EQ(geometry.data_sectors, 6u);
    EXPECT_EQ(geometry.hash_start_block, 1u);  // ceil((3072 + 512) / 4096)

    meta.hashblocksize = "0";
    EXPECT_EQ(verity_geometry(meta).hash_start_block, 0u);

    meta.hashblocksize = "99999999999999999999999";
    EXPECT_THROW(verity_geometry(meta), std::out_of_range);
}

// The loop binding on its own: the bound path follows the free number the
// kernel gave, and each descriptor is closed exactly once however it ends.
TEST(Loop_device, BindNamesTheFreeDeviceAndReleaseClosesBothDescriptorsOnce) {
    Recording_kernel kernel;
    {
        Loop_device loop(kernel);
        loop.bind(42);
        EXPECT_EQ("/dev/loop7", loop.path());
        EXPECT_EQ(2u, kernel.open_fds.size());
        const Call& configure = kernel.first(LOOP_CONFIGURE);
        struct loop_config config;
        ASSERT_EQ(sizeof(config), configure.bytes.size());
        std::memcpy(&config, configure.bytes.data(), sizeof(config));
        EXPECT_EQ(42u, config.fd);
        EXPECT_NE(0u, config.info.lo_flags & LO_FLAGS_AUTOCLEAR);
        loop.release();
        EXPECT_TRUE(kernel.open_fds.empty());
        EXPECT_EQ("/dev/loop7", loop.path());
    }
    // The destruction after release() closes nothing a second time (the
    // recording kernel flags a double close).
    EXPECT_EQ(2, std::count_if(kernel.calls.begin(), kernel.calls.end(),
                               [](const Call& call) { return call.op == "close"; }));
    // The device itself is opened read-only: the image is never written.
    for (const Call& call : kernel.calls) {
        if (call.op == "open" && call.path == "/dev/loop7") {
            EXPECT_EQ(O_RDONLY, call.flags & O_ACCMODE);
        }
    }
}

TEST(Loop_device, AnUnboundDeviceClosesNothing) {
    Recording_kernel kernel;
    { Loop_device loop(kernel); }
    EXPECT_TRUE(kernel.calls.empty());
}

TEST(Loop_device, FailedBindLeavesNoDescriptorOpenOnceDestroyed) {
    Recording_kernel kernel;
    kernel.fail[LOOP_CTL_GET_FREE] = {ENOSPC, -1};
    {
        Loop_device loop(kernel);
        testing::internal::CaptureStdout();
        EXPECT_THROW(loop.bind(42), std::exception);
        testing::internal::GetCapturedStdout();
    }
    EXPECT_TRUE(kernel.open_fds.empty());
    EXPECT_EQ(0, std::count_if(kernel.calls.begin(), kernel.calls.end(), [](const Call& call) {
                  return call.op == "open" && call.path.rfind("/dev/loop", 0) == 0 && call.path != "/dev/loop-control";
              }));
}

}  // namespace
}  // namespace ql
