// Feeds arbitrary bytes to the simulated desktop's fixture loader, the file the application reads
// from the environment at start. The only acceptable outcomes are a desktop or a FixtureError.

#include "platform/simulated/SimulatedDesktop.h"
#include "platform/tasks/Scheduler.h"

#include <cstddef>
#include <cstdint>

using namespace quillmere;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static VirtualScheduler scheduler;
    try {
        auto desktop = sim::SimulatedDesktop::fromJson(
            QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size)), scheduler);
        // A loaded desktop answers the first questions a reader asks of it.
        desktop->install();
        desktop->runningApplications();
        desktop->uninstall();
    } catch (const sim::FixtureError&) {
    }
    return 0;
}
