// The parameter check and the executor on arbitrary bodies: the first byte picks the command, the
// rest is its body. The in-demand side is the unwired default, with no exit taken.
#include "rcm/RCProcFuncs.h"
#include "rcm/RcmCommandCheck.h"
#include "rcm/RcmProtocol.h"
#include "rcm/RcmTables.h"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

namespace {

class CQuietOps : public CRCInDemandOps
{
public:
    void RequestServiceExit(int32_t, uint32_t) override {}
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static CRCCommandExecutor executor(std::make_shared<CQuietOps>(), false);
    if (size == 0)
        return 0;
    const auto &commands = RcmCommandParamTable();
    auto command = commands.begin();
    std::advance(command, data[0] % commands.size());
    RcmParamMap params;
    if (ParseRequestBody(std::string_view(reinterpret_cast<const char *>(data + 1), size - 1), params) < 0)
        return 0;
    stRCCommand record;
    const int32_t checked = CheckRcmCommand(command->first, params, record);
    const auto code = RcmCommandCodeTable().find(command->first);
    // Code 0x175 writes settings files: fuzzing keeps to the rest.
    if (checked == 0 && code != RcmCommandCodeTable().end() && code->second != 0x175) {
        std::vector<uint8_t> reply;
        executor.OnRCCmd(code->second, record, reply);
    }
    return 0;
}
