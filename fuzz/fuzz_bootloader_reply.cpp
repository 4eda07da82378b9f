// Feeds arbitrary bytes as bootloader replies to every command of the client.
#include "bootloader/Stm32Bootload.h"
#include "tests/support/ScriptedStream.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {
void noSleep(unsigned) {}

class StopAt : public Stm32Bootload {
public:
    using Stm32Bootload::Stm32Bootload;
    unsigned calls = 0;
    unsigned limit = 0;
    bool progress(double percent) override {
        return percent >= 0.0 && percent < 100.0 && ++calls != limit;
    }
};
} // namespace

// The client traces every bad reply to stdout; keep the fuzzer's log readable.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!std::freopen("/dev/null", "w", stdout)) return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const unsigned readLen = ((data[0] << 8) | data[1]) & 0x3FF;
    auto* s = new ScriptedStream;
    s->input.assign(data + 3, data + size);
    StopAt bl(s);
    bl.limit = data[2] & 0x0F;
    bl.set_sleeper(noSleep);

    std::vector<unsigned char> cmds, buf(readLen + 1);
    unsigned char major, minor, version, pages[4] = {1, 2, 3, 4};
    unsigned short pid;
    bl.get_commands(cmds, &version);
    bl.get_version(&major, &minor);
    bl.get_chip_id(&pid);
    bl.read_memory(0x08000000, buf.data(), readLen);
    bl.write_flash(0x08000000, buf.data(), readLen);
    bl.erase_flash(data[2] >> 6, pages);
    bl.erase_flash(0xFF, nullptr);
    bl.extended_erase_flash(0, nullptr);
    bl.go_command(0x08000000);
    bl.write_unprotect(); // ends by discarding what is left
    return 0;
}
