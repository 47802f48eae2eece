#include "controller/verity/verity.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <mbedtls/asn1.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>
#include <vector>

#include "controller/log/log.h"
#include "controller/verity/dm_request.h"
#include "controller/verity/verity_meta.h"

namespace ql {

namespace {

const char* const dm_control_path = "/dev/mapper/control";
const char* const dm_node_prefix = "/dev/mapper/";
const char* const loop_control_path = "/dev/loop-control";
const char* const loop_device_prefix = "/dev/loop";
constexpr int dm_remove_attempts = 20;
constexpr unsigned max_loop_minor = (1U << 20) - 1;

// mbed TLS's description of an error code.
std::string mbedtls_error_text(Ssl& ssl, int error_code) {
    char buffer[512] = {};
    ssl.mbedtls_strerror(error_code, buffer, sizeof(buffer));
    return buffer;
}

// The public-key context, freed on every way out of the signature check.
class Pk_context {
public:
    explicit Pk_context(Ssl& ssl) : m_ssl(ssl) { m_ssl.mbedtls_pk_init(&m_context); }
    ~Pk_context() { m_ssl.mbedtls_pk_free(&m_context); }
    Pk_context(const Pk_context&) = delete;
    Pk_context& operator=(const Pk_context&) = delete;
    mbedtls_pk_context* get() { return &m_context; }

private:
    Ssl& m_ssl;
    mbedtls_pk_context m_context;
};

// How many bytes of the signature area to hand to the verification. An RSA
// signature has the key's length and mbed TLS reports the padding behind it as
// a length mismatch, which is accepted; an ECDSA signature is a DER SEQUENCE of
// varying length and mbed TLS refuses any byte behind it, so only the SEQUENCE
// that its own header describes is verified.
std::size_t signature_length(Ssl& ssl, mbedtls_pk_context* context, const unsigned char* sig,
                             std::size_t sig_size) {
    if (!ssl.mbedtls_pk_can_do(context, MBEDTLS_PK_ECDSA)) {
        return sig_size;
    }
    // mbed TLS only reads through the cursor.
    unsigned char* cursor = const_cast<unsigned char*>(sig);
    std::size_t length = 0;
    if (ssl.mbedtls_asn1_get_tag(&cursor, sig + sig_size, &length,
                                 MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE) != 0) {
        // Not a SEQUENCE: the verification reports the malformed signature.
        return sig_size;
    }
    return static_cast<std::size_t>(cursor - sig) + length;
}

std::string* meta_field(Verity_meta& verity_meta, const std::string& key) {
    if (key == "hashtype") return &verity_meta.hashtype;
    if (key == "datablocks") return &verity_meta.datablocks;
    if (key == "datablocksize") return &verity_meta.datablocksize;
    if (key == "hashblocksize") return &verity_meta.hashblocksize;
    if (key == "hashalgorithm") return &verity_meta.hashalgorithm;
    if (key == "salt") return &verity_meta.salt;
    if (key == "roothash") return &verity_meta.roothash;
    return nullptr;
}

// The loop binding while the device is built; its descriptors are closed when
// the setup ends either way. A bound loop device with the autoclear flag is
// released by the kernel once its last user is gone.
struct Loop_device {
    explicit Loop_device(Kernel& kernel) : kernel(kernel) {}
    ~Loop_device() {
        close_fd(dev_fd);
        close_fd(ctl_fd);
    }
    Loop_device(const Loop_device&) = delete;
    Loop_device& operator=(const Loop_device&) = delete;

    void close_fd(int& fd) {
        if (fd >= 0) {
            kernel.close(fd);
            fd = -1;
        }
    }

    Kernel& kernel;
    int ctl_fd = -1;
    int dev_fd = -1;
    std::string path;
};

// Another process can take a free loop device between the query and the
// bind; a few rounds of that are normal, an endless one is not.
constexpr int loop_bind_attempts = 16;

// Binds the image descriptor (the one whose trailer was verified) read-only
// to a free loop device that clears itself on last close. LOOP_CONFIGURE does
// it in one request; kernels before 5.8 answer EINVAL or ENOTTY and get the
// two-request form.
void bind_loop_device(Loop_device& loop, int file_fd) {
    Kernel& kernel = loop.kernel;
    loop.ctl_fd = kernel.open(loop_control_path, O_RDWR | O_CLOEXEC);
    QL_CHECK(loop.ctl_fd >= 0, "open loop control failed: ", errno);

    bool configure = true;
    for (int attempt = 1;; ++attempt) {
        const int devnr = kernel.ioctl(loop.ctl_fd, LOOP_CTL_GET_FREE, 0UL);
        QL_CHECK(devnr >= 0, "get free loop device failed: ", errno);
        loop.path = loop_device_prefix + std::to_string(devnr);
        loop.dev_fd = kernel.open(loop.path.c_str(), O_RDONLY | O_CLOEXEC);
        QL_CHECK(loop.dev_fd >= 0, "open loop device failed: ", errno);
        int ioctl_ret = -1;
        if (configure) {
            struct loop_config config;
            std::memset(&config, 0, sizeof(config));
            config.fd = static_cast<__u32>(file_fd);
            config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
            ioctl_ret = kernel.ioctl(loop.dev_fd, LOOP_CONFIGURE, &config);
            if (ioctl_ret == 0) {
                return;
            }
            if (errno == EINVAL || errno == ENOTTY) {
                configure = false;
            }
        }
        if (!configure) {
            ioctl_ret = kernel.ioctl(loop.dev_fd, LOOP_SET_FD, static_cast<unsigned long>(file_fd));
            if (ioctl_ret == 0) {
                break;
            }
        }
        if (errno == EBUSY && attempt < loop_bind_attempts) {
            loop.close_fd(loop.dev_fd);
            continue;
        }
        if (errno == EBUSY) {
            LOG_ERROR("no free loop device after ", loop_bind_attempts, " attempts");
        }
        QL_CHECK(ioctl_ret == 0, "attach loop device failed: ", errno);
    }

    struct loop_info64 info;
    std::memset(&info, 0, sizeof(info));
    info.lo_flags = LO_FLAGS_AUTOCLEAR;
    const int ioctl_ret = kernel.ioctl(loop.dev_fd, LOOP_SET_STATUS64, &info);
    if (ioctl_ret != 0) {
        // Without the autoclear flag nothing would ever release the binding.
        const int status_errno = errno;
        kernel.ioctl(loop.dev_fd, LOOP_CLR_FD, 0UL);
        errno = status_errno;
    }
    QL_CHECK(ioctl_ret == 0, "set loop device flags failed: ", errno);
}

bool is_decimal(const std::string& text) {
    return !text.empty() && text.size() <= 20 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool is_hex(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    });
}

// The value of a decimal text that fits 64 bits.
bool decimal_value(const std::string& text, std::uint64_t& value) {
    if (!is_decimal(text)) {
        return false;
    }
    value = 0;
    for (const char c : text) {
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            return false;
        }
        value = value * 10 + digit;
    }
    return true;
}

bool is_block_size(const std::string& text) {
    std::uint64_t value = 0;
    return decimal_value(text, value) && value >= 512 && value <= 65536 && (value & (value - 1)) == 0;
}

}  // namespace

// ---- metadata -------------------------------------------------------------

Verity_meta parse_verity_meta(std::string_view meta) {
    Verity_meta verity_meta;
    std::size_t begin = 0;
    while (begin < meta.size()) {
        std::size_t end = meta.find('\n', begin);
        if (end == std::string_view::npos) {
            end = meta.size();
        }
        const std::string line(meta.substr(begin, end - begin));
        begin = end + 1;

        const std::size_t equals = line.find('=');
        const std::string key = line.substr(0, equals);
        const std::string value = equals == std::string::npos ? line : line.substr(equals + 1);
        if (key.empty()) {
            break;
        }
        LOG_DEBUG("meta: ", line);
        QL_CHECK(!value.empty(), "meta data value must not be empty");
        if (std::string* field = meta_field(verity_meta, key)) {
            *field = value;
        }
    }

    QL_CHECK(!verity_meta.roothash.empty(), "roothash", " not set");
    QL_CHECK(!verity_meta.salt.empty(), "salt", " not set");
    QL_CHECK(!verity_meta.hashalgorithm.empty(), "hashalgorithm", " not set");
    QL_CHECK(!verity_meta.hashblocksize.empty(), "hashblocksize", " not set");
    QL_CHECK(!verity_meta.datablocksize.empty(), "datablocksize", " not set");
    QL_CHECK(!verity_meta.datablocks.empty(), "datablocks", " not set");
    QL_CHECK(!verity_meta.hashtype.empty(), "hashtype", " not set");
    return verity_meta;
}

std::size_t verity_digest_size(const std::string& algorithm) {
    static const std::pair<const char*, std::size_t> known[] = {
        {"sha1", 20},     {"sha224", 28},   {"sha256", 32},      {"sha384", 48},
        {"sha512", 64},   {"sha3-256", 32}, {"sha3-512", 64},    {"blake2b-256", 32},
        {"blake2b-512", 64}, {"sm3", 32},
    };
    for (const auto& [name, size] : known) {
        if (algorithm == name) {
            return size;
        }
    }
    return 0;
}

std::string malformed_verity_meta_key(const Verity_meta& verity_meta) {
    if (verity_meta.hashtype != "0" && verity_meta.hashtype != "1") {
        return "hashtype";
    }
    std::uint64_t datablocks = 0;
    if (!decimal_value(verity_meta.datablocks, datablocks) || datablocks == 0) {
        return "datablocks";
    }
    if (!is_block_size(verity_meta.datablocksize)) {
        return "datablocksize";
    }
    if (!is_block_size(verity_meta.hashblocksize)) {
        return "hashblocksize";
    }
    std::uint64_t block_size = 0;
    decimal_value(verity_meta.datablocksize, block_size);
    // The data area, its hash header and a hash block must stay within 64 bits.
    if (datablocks > (UINT64_MAX - 2 * 65536) / block_size) {
        return "datablocks";
    }
    const std::size_t digest_size = verity_digest_size(verity_meta.hashalgorithm);
    if (digest_size == 0) {
        return "hashalgorithm";
    }
    if (verity_meta.roothash.size() != 2 * digest_size || !is_hex(verity_meta.roothash)) {
        return "roothash";
    }
    if (verity_meta.salt != "-" && (verity_meta.salt.size() % 2 != 0 || !is_hex(verity_meta.salt))) {
        return "salt";
    }
    return std::string();
}

// ---- Verity ---------------------------------------------------------------

Verity::Verity(std::string name, std::string image)
    : Verity(std::move(name), std::move(image), std::make_unique<Ssl>()) {}

Verity::Verity(std::string name, std::string image, std::unique_ptr<Ssl> ssl)
    : m_name(std::move(name)),
      m_image(std::move(image)),
      m_sys(std::make_unique<System>()),
      m_fs(std::make_unique<Filesystem>()),
      m_ssl(std::move(ssl)) {}

Verity::~Verity() = default;

void Verity::check_metadata_signature(const char* key_file, const unsigned char* meta, std::int32_t meta_size,
                                      const unsigned char* sig, std::int32_t sig_size) {
    LOG_DEBUG("check metadata signature");
    LOG_DEBUG("open key file: ", key_file);
    // Argument checks without a message of their own.
    QL_CHECK(meta != nullptr, "");
    QL_CHECK(meta_size > 0, "");
    QL_CHECK(sig != nullptr, "");
    QL_CHECK(sig_size > 0, "");

    Pk_context context(*m_ssl);
    QL_CHECK(m_fs->exists(key_file), "could not open key, no such file: ", key_file);
    int error_code = m_ssl->mbedtls_pk_parse_public_keyfile(context.get(), key_file);
    QL_CHECK(error_code == 0, "failed to load key: ", mbedtls_error_text(*m_ssl, error_code));

    const mbedtls_md_info_t* digest = m_ssl->mbedtls_md_info_from_type(MBEDTLS_MD_SHA256);
    QL_CHECK(digest != nullptr, "");
    unsigned char hash[32] = {};
    QL_CHECK(sizeof(hash) == m_ssl->mbedtls_md_get_size(digest), "");
    error_code = m_ssl->mbedtls_md(digest, meta, static_cast<std::size_t>(meta_size), hash);
    QL_CHECK(error_code == 0, "failed to hash meta data: ", mbedtls_error_text(*m_ssl, error_code));

    const std::size_t sig_length =
        signature_length(*m_ssl, context.get(), sig, static_cast<std::size_t>(sig_size));
    error_code =
        m_ssl->mbedtls_pk_verify(context.get(), MBEDTLS_MD_SHA256, hash, sizeof(hash), sig, sig_length);
    // A valid signature followed by the rest of the signature area.
    if (error_code == MBEDTLS_ERR_PK_SIG_LEN_MISMATCH) {
        error_code = 0;
    }
    QL_CHECK(error_code == 0, "failed to verify signature: ", mbedtls_error_text(*m_ssl, error_code));
    LOG_DEBUG("signature valid");
}

std::string Verity::setup(int image_fd, const char* key_file, const unsigned char* meta,
                          std::int32_t meta_size, const unsigned char* sig, std::int32_t sig_size) {
    log_marker("VERIFYSIG", m_name);
    check_metadata_signature(key_file, meta, meta_size, sig, sig_size);
    log_marker("VERITYSETUP", m_name);
    return setup_dm_verity_device(m_name, image_fd, meta, meta_size, *m_sys, *m_fs);
}

bool Verity::remove() {
    Dm_device device(m_name, *m_sys, *m_fs);
    return device.destroy();
}

// ---- Dm_device ------------------------------------------------------------

Dm_device::Dm_device(std::string name, System& system, Filesystem& filesystem, Kernel& kernel)
    : m_ctl_fd(-1),
      name(std::move(name)),
      created(false),
      system(system),
      filesystem(filesystem),
      kernel(kernel) {
    m_ctl_fd = kernel.open(dm_control_path, O_RDWR | O_CLOEXEC);
    QL_CHECK(m_ctl_fd >= 0, "open device mapper control failed: ", errno);
}

Dm_device::~Dm_device() {
    try {
        if (created) {
            destroy();
        }
    } catch (...) {
        // A rollback must not end the process; destroy has logged what failed.
    }
    if (m_ctl_fd >= 0) {
        kernel.close(m_ctl_fd);
    }
}

void Dm_device::create() {
    LOG_DEBUG("create dm-device ", name);
    struct dm_ioctl header = dm_header(name, dm_header_size);
    const int ioctl_ret = kernel.ioctl(m_ctl_fd, DM_DEV_CREATE, &header);
    QL_CHECK(ioctl_ret == 0, "create dm-device failed: ", errno);
    created = true;
}

void Dm_device::load_table(Dm_table_load& data) {
    const int ioctl_ret = kernel.ioctl(m_ctl_fd, DM_TABLE_LOAD, &data);
    QL_CHECK(ioctl_ret == 0, "load dm-device table failed: ", errno);
}

std::uint64_t Dm_device::resume() {
    // Flags 0: the suspend request resumes the device.
    struct dm_ioctl header = dm_header(name, dm_header_size);
    const int ioctl_ret = kernel.ioctl(m_ctl_fd, DM_DEV_SUSPEND, &header);
    QL_CHECK(ioctl_ret == 0, "resume dm-device failed: ", errno);
    return header.dev;
}

bool Dm_device::destroy() {
    bool removed = true;
    try {
        // A new device is briefly opened by whoever probes it: a bounded
        // number of retries rides that out, a real user stays EBUSY.
        int attempt = 0;
        int remove_ret = 0;
        int remove_errno = 0;
        for (;;) {
            struct dm_ioctl header = dm_header(name, dm_header_size);
            remove_ret = kernel.ioctl(m_ctl_fd, DM_DEV_REMOVE, &header);
            remove_errno = errno;
            if (remove_ret == 0 || remove_errno != EBUSY || ++attempt >= dm_remove_attempts) {
                break;
            }
            const timespec pause{0, 50'000'000};
            ::nanosleep(&pause, nullptr);
        }
        if (remove_ret != 0) {
            if (remove_errno == ENXIO) {
                LOG_INFO("dm-device ", name, " does not exist");
            } else {
                LOG_ERROR("destroy dm-device failed: ", remove_errno);
                removed = false;
            }
        }
    } catch (...) {
        removed = false;
    }
    // The node goes only with its device: a node of a device that is still
    // there is what its users and a later removal need.
    if (removed) {
        kernel.unlink((dm_node_prefix + name).c_str());
    }
    return removed;
}

// ---- device setup ---------------------------------------------------------

std::string setup_dm_verity_device(const std::string& name, int image_fd, const unsigned char* meta,
                                   std::int32_t meta_size, System& system, Filesystem& filesystem,
                                   Kernel& kernel) {
    LOG_DEBUG("setup dm-verity device");
    const Verity_meta verity_meta = parse_verity_meta(std::string_view(
        reinterpret_cast<const char*>(meta), static_cast<std::size_t>(std::max(meta_size, 0))));
    // Every value goes into the kernel's table: its form is checked before
    // any device exists.
    const std::string malformed = malformed_verity_meta_key(verity_meta);
    QL_CHECK(malformed.empty(), "meta data value of ", malformed, " is malformed");

    // The table names the loop device, which does not exist yet: with the
    // longest name a loop device can have (the largest minor number) it must
    // already fit the request.
    const Verity_geometry geometry = verity_geometry(verity_meta);
    Dm_table_load data;
    {
        const std::string longest_loop = loop_device_prefix + std::to_string(max_loop_minor);
        const std::string table = verity_table(verity_table_fields(verity_meta, longest_loop, geometry.hash_start_block));
        QL_CHECK(table.length() < sizeof(data.table), "bad verity params");
    }

    Dm_device device(name, system, filesystem, kernel);
    device.create();

    Loop_device loop(kernel);
    bind_loop_device(loop, image_fd);

    LOG_DEBUG("datasize: ", geometry.data_sectors);
    const std::vector<std::string> fields =
        verity_table_fields(verity_meta, loop.path, geometry.hash_start_block);
    for (const std::string& field : fields) {
        LOG_DEBUG("table param: ", field);
    }
    const std::string table = verity_table(fields);

    data = dm_table_load_request(name, geometry.data_sectors, table);
    device.load_table(data);

    const std::uint64_t dev = device.resume();
    const std::string node = dm_node_prefix + name;
    const int mknod_ret = kernel.mknod(node.c_str(), S_IFBLK, static_cast<dev_t>(dev));
    QL_CHECK(mknod_ret == 0, "create dm-device node failed: ", errno);

    device.release();
    return node;
}

}  // namespace ql

