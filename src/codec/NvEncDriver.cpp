// Choosing the encode API: the driver's library, or the software stand-in.

#include "codec/NvEncDriver.h"

#include "codec/NvEncStandIn.h"
#include "core/debuglog.h"
#include "platform/GpuDevice.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void LoaderLog(const char *format, ...)
{
    char text[512] = {};
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    if (const size_t length = std::strlen(text); length > 0 && text[length - 1] == '\n')
        text[length - 1] = '\0';
    DebugLogA(5, __FILE__, "NvEncApiEntry", __LINE__, text);
}

} // namespace

#define FFNV_LOG_FUNC(logctx, msg, ...) LoaderLog((msg), __VA_ARGS__)
#define FFNV_DEBUG_LOG_FUNC(logctx, msg, ...)
#include <ffnvcodec/dynlink_loader.h>

namespace {

stNvEncApiEntry ChooseApi()
{
    stNvEncApiEntry entry;
    entry.getMaxSupportedVersion = NvEncStandInGetMaxSupportedVersion;
    entry.createInstance = NvEncStandInCreateInstance;
    const char *forced = std::getenv("TYX_NV_STANDIN");
    if (forced && std::strcmp(forced, "1") == 0) {
        TYX_LOG(5, L"NVENC: the software stand-in is forced (TYX_NV_STANDIN=1).");
        return entry;
    }
    // Input buffers of the host backend are host memory, which no driver session can read.
    if (DevInitialize(0) != EGpuBackend::Cuda) {
        TYX_LOG(5, L"NVENC: no CUDA device, encoding on the software stand-in (libx264/libx265).");
        return entry;
    }
    // Kept for the life of the process: sessions call into the library until they end.
    static NvencFunctions *functions = nullptr;
    if (nvenc_load_functions(&functions, nullptr) < 0 || !functions) {
        TYX_LOG(5, L"NVENC: the driver library cannot be opened, encoding on the software stand-in (libx264/libx265).");
        return entry;
    }
    entry.getMaxSupportedVersion = functions->NvEncodeAPIGetMaxSupportedVersion;
    entry.createInstance = functions->NvEncodeAPICreateInstance;
    entry.standIn = false;
    TYX_LOG(5, L"NVENC: encoding through the driver library.");
    return entry;
}

} // namespace

const stNvEncApiEntry &NvEncApiEntry()
{
    static const stNvEncApiEntry entry = ChooseApi();
    return entry;
}
