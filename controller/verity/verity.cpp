// A verified image: the signature check (signature.cpp) and then the
// dm-verity device built from the checked metadata on a loop device.
#include "controller/verity/verity.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <utility>
#include <vector>

#include "controller/log/log.h"
#include "controller/verity/dm_device.h"
#include "controller/verity/dm_request.h"
#include "controller/verity/loop_device.h"
#include "controller/verity/verity_meta.h"

namespace ql {

namespace {

const char* const dm_node_prefix = "/dev/mapper/";
const char* const loop_device_prefix = "/dev/loop";
constexpr unsigned max_loop_minor = (1U << 20) - 1;

}  // namespace

Verity::Verity(std::string name, std::string image)
    : Verity(std::move(name), std::move(image), std::make_unique<Ssl>()) {}

Verity::Verity(std::string name, std::string image, std::unique_ptr<Ssl> ssl)
    : m_name(std::move(name)),
      m_image(std::move(image)),
      m_fs(std::make_unique<Filesystem>()),
      m_ssl(std::move(ssl)) {}

Verity::~Verity() = default;

std::string Verity::setup(int image_fd, const char* key_file, const unsigned char* meta,
                          std::int32_t meta_size, const unsigned char* sig, std::int32_t sig_size) {
    log_marker("VERIFYSIG", m_name);
    check_metadata_signature(key_file, meta, meta_size, sig, sig_size);
    log_marker("VERITYSETUP", m_name);
    return setup_dm_verity_device(m_name, image_fd, meta, meta_size);
}

bool Verity::remove() {
    Dm_device device(m_name);
    return device.destroy();
}

std::string setup_dm_verity_device(const std::string& name, int image_fd, const unsigned char* meta,
                                   std::int32_t meta_size, Kernel& kernel) {
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

    Dm_device device(name, kernel);
    device.create();

    Loop_device loop(kernel);
    loop.bind(image_fd);

    LOG_DEBUG("datasize: ", geometry.data_sectors);
    const std::vector<std::string> fields =
        verity_table_fields(verity_meta, loop.path(), geometry.hash_start_block);
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
    loop.release();
    return node;
}

}  // namespace ql
