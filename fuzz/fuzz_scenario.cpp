// The simulator's scenario format on arbitrary text, as a user may hand it in
// through VANTEL_SIMULATE: parsed, and when accepted, built into a simulator
// whose devices are enumerated, opened and asked for their attributes the way
// discovery asks, then torn down.
//
// Checked: a refusal names its line; an accepted scenario builds without a
// crash and its simulator's threads end with it.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#if __has_include("sim/sim.h")
#include "sim/sim.h"

namespace {
void check(bool condition) {
    if (!condition) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string error;
    const auto scenario = vantel::sim::parseScenario(text, error);
    if (!scenario) {
        check(error.rfind("line ", 0) == 0);
        return 0;
    }

    vantel::sim::SimBackend sim(*scenario);
    sim.loadHidLibrary();
    sim.loadSetupLibrary();
    vantel::Guid hid{};
    if (sim.hidGuid(hid) != vantel::HidStatus::Ok) return 0;
    vantel::InterfaceSet set = 0;
    if (sim.getClassDevs(hid, set) != vantel::HidStatus::Ok || set == 0) return 0;
    for (int i = 0; i < 64; ++i) {
        const vantel::HidStatus e = sim.enumInterface(set, hid, i);
        if (e == vantel::HidStatus::Missing) break;
        if (e != vantel::HidStatus::Ok) continue;
        std::string path;
        if (sim.interfaceDetail(set, hid, i, path) != vantel::HidStatus::Ok) continue;
        vantel::HidHandle h = vantel::kNoHandle;
        if (sim.open(path, vantel::Access::ReadWrite, h) != vantel::HidStatus::Ok) continue;
        vantel::HidAttributes attributes;
        vantel::HidCaps caps;
        (void)sim.attributes(h, attributes);
        (void)sim.capabilities(h, caps);
        sim.close(h);
    }
    sim.destroyClassDevs(set);
    return 0;
}
#else
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t) { return 0; }
#endif
