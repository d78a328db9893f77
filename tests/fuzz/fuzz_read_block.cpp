// A read command's data block, whatever the terminal sends: "Y", "P" or "S"
// runs through the real link, driver and wrapper over the simulated line on
// virtual time, and the block is decoded under the fuzzed settings.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "diag/diag.h"
#include "fuzz_support.h"
#include "platform/clock.h"
#include "protocol/command_view.h"
#include "protocol/porcio.h"
#include "protocol/settings.h"
#include "serial/ser_port.h"
#include "sim/attach.h"
#include "sim/line_sim.h"

namespace {

class View : public TCommandView {
public:
    void ShowWriteAttempt(int) override {}
    void ShowReceived(int bytes) override { received.push_back(bytes); }
    void AddLine(const std::string& line) override { lines.push_back(line); }
    int WriteAttempts() override { return 1; }
    std::vector<int> received;
    std::vector<std::string> lines;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // binarni.bin is written to the working directory.
    Work_dir = fuzz_scratch_dir();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    const uint8_t flags = in.ConsumeIntegral<uint8_t>();
    TLinkSettings settings;
    settings.DT_use = flags & 1;
    settings.CCode = (flags >> 1) & 1;
    const char command = "YPSY"[(flags >> 2) & 3];
    settings.MxSn = in.ConsumeIntegralInRange<int32_t>(-1, 20);
    settings.MxVec = in.ConsumeIntegralInRange<int32_t>(-1, 20);
    // Records the terminal may hold, from none (the all-zero record) up.
    settings.Data_length = in.ConsumeIntegralInRange<int32_t>(0, 100) * (settings.DT_use ? 29 : 24);
    const std::vector<uint8_t> block = in.ConsumeRemainingBytes<uint8_t>();

    platform::VirtualClock clock(1'000'000'000);
    platform::set_clock(&clock);
    sim::LineSim line(19200);
    line.add_terminal(2).set_next_block(block);
    sim::attach_to_driver({{0, &line}}, clock);
    {
        TSer_Port port(0, 19200);
        FUZZ_CHECK(port.Opened());
        TPorcio term(&port, 2, settings);
        View view;
        char buf[255] = {command};
        const bool ok = term.RunCommand(buf, view);
        FUZZ_CHECK(term.Delivered() == 1);
        FUZZ_CHECK(ok == (buf[0] == command));
        FUZZ_CHECK(ok || buf[0] == 'E');
        FUZZ_CHECK(view.received.size() == 1);
        FUZZ_CHECK(term.Received() >= 0 && term.Received() <= settings.Data_length);
        FUZZ_CHECK(view.lines.size() <= static_cast<size_t>(term.Records()));
        if (!view.lines.empty()) FUZZ_CHECK(term.Records() > 0);
    }
    sim::detach_from_driver();
    platform::set_clock(nullptr);
    return 0;
}
