// The sensor's JSON configuration document, as read from its file.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>

#include "sensor/config/config_document.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    IDS_instances from_text;
    (void)parse_config_text(text, from_text);
    std::istringstream stream{std::string(text)};
    IDS_instances from_stream;
    (void)parse_config_document(stream, from_stream);
    return 0;
}
