// Kernel texts and form bodies read by the statistics code: /proc/cpuinfo,
// /proc/meminfo, pci.ids and the "data=" form. None of them may crash or hang
// on any input; decoding what the encoder produced must give the input back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "stats/DeviceFacts.h"
#include "stats/FormEncoding.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    (void)engine::ParseCpuInfo(text);
    (void)engine::ParseMemTotalBytes(text);
    uint16_t vendor = size >= 2 ? static_cast<uint16_t>(data[0] << 8 | data[1]) : 0x8086;
    (void)engine::LookupPciName(text, vendor, static_cast<uint16_t>(vendor ^ 0x5a5a));
    (void)engine::FormDecodeData(text);
    if (engine::FormDecodeData(engine::FormEncodeData(text)) != std::string(text)) std::abort();
    return 0;
}
